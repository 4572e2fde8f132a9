#include "VELD_RefCntObject.h"

// Out of line so the class's virtual table has one home in the library.
VELD_RefCntObject::~VELD_RefCntObject() = default;
