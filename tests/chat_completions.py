"""A local OpenAI-compatible chat completions server, for the tests that
drive the real OpenAI client library: the skill context's LLM calls and the
reference host's model turns (the ``chat_server`` fixture)."""

import contextlib
import http.server
import json
import threading


class ChatServer(http.server.ThreadingHTTPServer):
    """Answers each POST (/v1/chat/completions) with the next of `replies`:
    a text (or None) as the assistant's message, a (tool name, arguments)
    pair as a call of that tool, an int as that HTTP error status. A request
    with "stream" gets the message as chunks: a text word by word, a tool
    call's arguments in two pieces. Requests are kept in `requests` as
    (path, body) pairs."""

    def __init__(self):
        super().__init__(("127.0.0.1", 0), ChatHandler)
        self.replies = []
        self.requests = []
        self.base_url = f"http://127.0.0.1:{self.server_port}/v1"

    @classmethod
    @contextlib.contextmanager
    def running(cls):
        """A server answering on a thread of its own until the block ends."""
        server = cls()
        thread = threading.Thread(target=server.serve_forever, args=(0.02,), daemon=True)
        thread.start()
        try:
            yield server
        finally:
            server.shutdown()
            server.server_close()
            thread.join()


def message(reply):
    if not isinstance(reply, tuple):
        return {"role": "assistant", "content": reply}
    name, arguments = reply
    return {"role": "assistant", "content": None, "tool_calls": [
        {"id": "call_x", "type": "function",
         "function": {"name": name, "arguments": json.dumps(arguments)}}]}


def deltas(reply):
    if not isinstance(reply, tuple):
        return [{"content": (" " if i else "") + word} for i, word in enumerate(reply.split(" "))]
    name, arguments = reply
    text = json.dumps(arguments)
    return [{"tool_calls": [{"index": 0, "id": "call_x", "type": "function",
                             "function": {"name": name, "arguments": text[:5]}}]},
            {"tool_calls": [{"index": 0, "function": {"arguments": text[5:]}}]}]


class ChatHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        self.server.requests.append((self.path, body))
        reply = self.server.replies.pop(0)
        answer = {"id": "chatcmpl-test", "created": 0, "model": body["model"]}
        if isinstance(reply, int):
            error = {"error": {"message": f"status {reply}", "type": "test"}}
            self.send(reply, "application/json", json.dumps(error))
        elif body.get("stream"):
            chunks = (dict(answer, object="chat.completion.chunk",
                           choices=[{"index": 0, "delta": delta, "finish_reason": None}])
                      for delta in deltas(reply))
            self.send(200, "text/event-stream",
                      "".join(f"data: {json.dumps(chunk)}\n\n" for chunk in chunks) + "data: [DONE]\n\n")
        else:
            choice = {"index": 0, "finish_reason": "tool_calls" if isinstance(reply, tuple) else "stop",
                      "message": message(reply)}
            self.send(200, "application/json",
                      json.dumps(dict(answer, object="chat.completion", choices=[choice])))

    def send(self, status, content_type, text):
        data = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass
