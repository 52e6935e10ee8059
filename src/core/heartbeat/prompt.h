// The check-in prompt sent when the configuration gives none.
#pragma once

namespace ombrel::heartbeat {

inline constexpr char default_heartbeat_prompt[] =
    "[HEARTBEAT] This is an automatic check-in. Review your current plan (if "
    "any) and continue working on the next pending step. If there is nothing "
    "to do, respond briefly that you're standing by. Do NOT ask the user for "
    "input \xE2\x80\x94 just continue autonomously or confirm you're idle.";

} // namespace ombrel::heartbeat
