// The coroutine bridge: everything a module needs to be written as C++20
// coroutines that asyncio drives, with the shared helpers of src/common.
#pragma once

#include "common/common.h"

#include "asyncio.h"
#include "coroutine.h"
#include "errors.h"
#include "logging.h"
#include "sleep.h"
