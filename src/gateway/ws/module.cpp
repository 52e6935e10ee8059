#include "bridge/bridge.h"
namespace nb = nanobind;
NB_MODULE(ws, m) { ombrel::bridge::register_coroutine_type(m); }
