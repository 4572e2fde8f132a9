// Thrown by value when the compressed stream cannot reopen its file.
// Thread contract: a plain value; safe to copy between threads.
#pragma once

#include <cstdint>
#include <string>

#include "veld_api.h"

class VELD_API SystemFileException {
public:
    SystemFileException(std::int32_t errorNumber, const std::string& expression,
                        const std::string& sourceFile, std::int32_t line, bool flag)
        : fSourceFile(sourceFile),
          fExpression(expression),
          fErrorNumber(errorNumber),
          fLine(line),
          fFlag(flag) {}

    std::string fSourceFile;
    std::string fExpression;
    std::int32_t fErrorNumber;
    std::int32_t fLine;
    bool fFlag;
};
