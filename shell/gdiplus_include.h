// <gdiplus.h> for a build with WIN32_LEAN_AND_MEAN and NOMINMAX: it needs IStream from objidl.h
// declared before it, and min and max in its own namespace since NOMINMAX removes the macros.
#pragma once

#include <windows.h>

#include <objidl.h>

#include <algorithm>

namespace Gdiplus {
using std::max;
using std::min;
} // namespace Gdiplus

#include <gdiplus.h>
