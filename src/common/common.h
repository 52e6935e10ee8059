// The helpers shared by every module that are not about coroutines:
// argument checks, the C API in Python's terms, interned names, exception
// texts and garbage-collector support.
#pragma once

#include "common/args.h"
#include "common/capi.h"
#include "common/exceptions.h"
#include "common/gc.h"
#include "common/interned.h"
#include "common/python.h"
#include "common/unchanged_type.h"
