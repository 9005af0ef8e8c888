// PLACEHOLDER (temporary while the kinds are written; removed before release).
#pragma once
#include "ZoException.h"
#define ZO_PLACEHOLDER() throw ZoException(__func__, "not implemented yet", __FILE__, __LINE__, -1)
