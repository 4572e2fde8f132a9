// The library's public interface in one header.
#pragma once

#include "ExtNameStr.h"
#include "ThrowError.h"
#include "VELD_File.h"
#include "VELD_FileStream.h"
#include "VELD_RefCntObject.h"
#include "VELD_StrBaseIO.h"
#include "blockEngine.h"
#include "cipher.h"
#include "check.h"
#include "compressedLayout.h"
#include "veld_api.h"
#include "zcmpsFilestr.h"
#include "zcmpsInspect.h"
#include "zlibCompressBlock.h"
