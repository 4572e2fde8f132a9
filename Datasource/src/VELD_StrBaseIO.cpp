#include "VELD_StrBaseIO.h"

// Out of line so the interface's virtual table has one home in the library.
VELD_StrBaseIO::~VELD_StrBaseIO() noexcept(false) = default;
