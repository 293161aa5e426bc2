// Marks what a shared library of this system exports; everything else stays hidden
// (-fvisibility=hidden), so that `nm -D` shows exactly what a host may call.
#pragma once

#define QN_EXPORT __attribute__((visibility("default")))
// A member of an exported class that only the library itself calls.
#define QN_INTERNAL __attribute__((visibility("hidden")))
