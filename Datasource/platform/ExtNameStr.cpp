#include "ExtNameStr.h"

#include "crt.h"

int ExtNameStr::Sopen(int oflag, int shflag, int pmode) const {
    if (fGeneric.empty()) return -1;
    return veld::crt::sopen(fGeneric, oflag, shflag, pmode);
}
