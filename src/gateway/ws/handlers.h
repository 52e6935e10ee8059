// The command handlers: dispatch, chat routing, the two agents' turns and the
// control commands. Each takes the client's WebSocket first.
#pragma once

#include "gateway/ws/gateway.h"

namespace ombrel::gateway {

/// Hands one decoded command to its handler.
Coro<void> handle_message(nb::object ws, nb::object message);
/// What `handle_message` awaits: the handler's coroutine for the command (or
/// the send of its answer), checked and chosen now. The receive loop awaits
/// it directly, without a coroutine of the dispatch's own.
nb::object command_awaitable(nb::handle ws, nb::object message);

/// Routes a chat message to the standard or the computer-use agent.
Coro<void> handle_chat(nb::object ws, nb::object message);
/// Whether the text asks for computer-use mode by one of the phrases of
/// `_FORCE_CU_KEYWORDS`.
bool should_use_computer_use(nb::handle message);
/// The phrases that select computer-use mode.
nb::set force_cu_keywords();
/// One turn of the standard agent: its events passed through.
Coro<void> handle_standard_chat(nb::object ws, nb::object agent, nb::object user_text,
                                nb::object attachments);
/// One turn of the computer-use agent: its events translated.
Coro<void> handle_computer_use_chat(nb::object ws, nb::object cu_agent,
                                    nb::object user_text);

/// The "mode" event that opens an agent's turn.
nb::dict mode_event(const char *mode, const char *message);
/// Ends a turn whose agent stream failed: an `Exception` is logged with its
/// traceback under `log_text` and answered with an "error" event whose
/// message is `prefix` followed by the error's text; anything else
/// (cancellation) goes on to the caller.
Coro<void> end_failed_turn(nb::object ws, nb::python_error failure, const char *log_text,
                           const char *prefix);

/// The control commands.
Coro<void> handle_approval(nb::object ws, nb::object message);
Coro<void> handle_new_conversation(nb::object ws);
Coro<void> handle_resume_conversation(nb::object ws, nb::object message);
Coro<void> handle_stop_task(nb::object ws);
Coro<void> handle_heartbeat_control(nb::object ws, nb::object message);

} // namespace ombrel::gateway
