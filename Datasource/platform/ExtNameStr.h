// The platform library's file name: one name in its generic (UTF-8) form,
// and the means to open the file it names.
// Thread contract: one thread at a time; const members are safe for concurrent use.
#pragma once

#include <string>

#include "veld_api.h"

class VELD_API ExtNameStr {
public:
    ExtNameStr() = default;
    ExtNameStr(const ExtNameStr&) = default;
    ExtNameStr& operator=(const ExtNameStr&) = default;
    ~ExtNameStr() = default;

    void SetGeneric(const std::string& text) { fGeneric = text; }
    // Generic names are UTF-8 here, so both setters hold the same text.
    void SetU8(const std::string& text) { fGeneric = text; }
    const std::string& GetGeneric() const { return fGeneric; }
    // The system code page form; UTF-8 on every platform we build for.
    const std::string& GetCP() const { return fGeneric; }

    // Opens with the Microsoft C runtime's flag, share and permission values.
    // Returns a descriptor for the runtime's file calls, or -1; never raises.
    int Sopen(int oflag, int shflag, int pmode) const;

private:
    std::string fGeneric;
};
