// The coroutine bridge: everything a module needs to be written as C++20
// coroutines that asyncio drives.
#pragma once

#include "args.h"
#include "asyncio.h"
#include "coroutine.h"
#include "errors.h"
#include "logging.h"
