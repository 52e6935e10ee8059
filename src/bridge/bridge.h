// The coroutine bridge: everything a module needs to be written as C++20
// coroutines that asyncio drives, with the shared helpers of src/common.
#pragma once

#include "common/common.h"

#include "bridge/asyncio.h"
#include "bridge/binding.h"
#include "bridge/coroutine.h"
#include "bridge/errors.h"
#include "bridge/logging.h"
#include "bridge/sleep.h"
#include "bridge/slot_method.h"
