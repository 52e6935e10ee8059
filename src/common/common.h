// The helpers shared by every module that are not about coroutines:
// argument checks, the C API in Python's terms, interned names, exception
// texts and garbage-collector support.
#pragma once

#include "args.h"
#include "exceptions.h"
#include "gc.h"
#include "interned.h"
#include "python.h"
#include "unchanged_type.h"
