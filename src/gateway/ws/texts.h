// The gateway's own texts, exactly as the chat client receives or the log
// shows them.
#pragma once

namespace ombrel::gateway::texts {

// "mode" events. The emoji (U+1F5A5 U+FE0F) and the em dash (U+2014) are
// spelled as UTF-8 bytes so that every compiler reads them alike.
inline constexpr char STANDARD_MODE[] =
    "\xF0\x9F\x96\xA5\xEF\xB8\x8F Computer Use mode \xE2\x80\x94 "
    "I can see and control your screen";
inline constexpr char COMPUTER_USE_MODE[] =
    "Using Computer Use mode \xE2\x80\x94 I can see and control your screen";

// "error" events.
inline constexpr char UNKNOWN_MESSAGE_TYPE[] = "Unknown message type: ";
inline constexpr char AGENT_NOT_INITIALIZED[] = "Agent not initialized";
inline constexpr char NO_SUITABLE_AGENT[] = "No suitable agent available";
inline constexpr char AGENT_ERROR[] = "Agent error: ";
inline constexpr char COMPUTER_USE_ERROR[] = "Computer Use error: ";
inline constexpr char GUARDRAILS_NOT_INITIALIZED[] = "Guardrails not initialized";
inline constexpr char MISSING_APPROVAL_ID[] = "Missing approval_id";
inline constexpr char HEARTBEAT_NOT_INITIALIZED[] = "Heartbeat not initialized";
inline constexpr char UNKNOWN_HEARTBEAT_ACTION[] = "Unknown heartbeat action: ";

// Other fixed event texts.
inline constexpr char TASK_STOPPED[] = "Task stopped";
inline constexpr char NO_TASK_RUNNING[] = "No task is currently running";
inline constexpr char SCREENSHOT_CAPTURED[] = "Screenshot captured";
inline constexpr char UNKNOWN_ERROR[] = "Unknown error";
inline constexpr char TASK_CANCELLED[] = "Task cancelled";

// The close of a client too slow to take a broadcast: a policy close
// (1008) whose reason says why (at most 123 bytes).
inline constexpr int TOO_SLOW_CLOSE_CODE = 1008;
inline constexpr char TOO_SLOW_CLOSE_REASON[] = "Too slow: a message could not be delivered in time";

// Close reasons of connections ended by a protocol error (routers made with
// close_codes=True).
inline constexpr char CLOSE_TOO_BIG[] = "Message too big";
inline constexpr char CLOSE_NOT_A_COMMAND[] = "Each message must be a JSON object";
inline constexpr char CLOSE_INTERNAL_ERROR[] = "Internal error";

// Log lines (%-style templates).
inline constexpr char LOG_CLIENT_CONNECTED[] = "Client connected (%d total)";
inline constexpr char LOG_CLIENT_DISCONNECTED[] = "Client disconnected (%d total)";
inline constexpr char LOG_WEBSOCKET_ERROR[] = "WebSocket error";
inline constexpr char LOG_CLOSED_TOO_SLOW[] =
    "Closed a client too slow to take a broadcast (%d total)";
inline constexpr char LOG_CLOSED_TOO_SLOW_QUEUE[] =
    "Closed a client too slow to take its events (%d queued)";
inline constexpr char LOG_COMMAND_FAILED[] = "Command failed";
inline constexpr char LOG_REJECTED_TOKEN[] = "Rejected WebSocket connection without the token";
inline constexpr char LOG_REJECTED_ORIGIN[] = "Rejected WebSocket connection from origin %s";
inline constexpr char LOG_STANDARD_HANDLING[] = "Standard agent handling: %s";
inline constexpr char LOG_STANDARD_ERROR[] = "Standard agent error";
inline constexpr char LOG_COMPUTER_USE_HANDLING[] = "Computer Use agent handling: %s";
inline constexpr char LOG_COMPUTER_USE_ERROR[] = "Computer Use agent error";

} // namespace ombrel::gateway::texts
