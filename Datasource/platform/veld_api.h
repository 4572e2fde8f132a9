// Export macro for the library's public interface.
#pragma once

#if defined(_WIN32)
#  if defined(VELD_BUILDING)
#    define VELD_API __declspec(dllexport)
#  elif defined(VELD_STATIC)
#    define VELD_API
#  else
#    define VELD_API __declspec(dllimport)
#  endif
#else
#  define VELD_API __attribute__((visibility("default")))
#endif
