"""OmbrelContext.llm_ask / llm_json: the real OpenAI client library against a
local OpenAI-compatible server."""

import json
import sys

import pytest


@pytest.fixture
def ctx(corvex, chat_server):
    return corvex.OmbrelContext("asker", llm_model="test-model")


async def test_request_shape_and_one_client(ctx, chat_server, records):
    import openai

    chat_server.replies += ["Paris.", None]
    assert await ctx.llm_ask("Capital of France?", system="Be brief.") == "Paris."
    client = ctx._llm
    assert isinstance(client, openai.AsyncOpenAI)
    assert await ctx.llm_ask("And now?") == ""
    assert ctx._llm is client
    assert chat_server.requests == [
        ("/v1/chat/completions", {
            "model": "test-model", "max_tokens": 4096,
            "messages": [{"role": "system", "content": "Be brief."},
                         {"role": "user", "content": "Capital of France?"}]}),
        ("/v1/chat/completions", {
            "model": "test-model", "max_tokens": 4096,
            "messages": [{"role": "user", "content": "And now?"}]})]
    assert records() == ["[asker] LLM response: 6 chars", "[asker] LLM response: 0 chars"]


LONG = "no json here " * 20


@pytest.mark.parametrize("reply, expected, logged", [
    ('Here you are:\n```json\n{"a": [1, 2], "b": "é"}\n```\nAnything else?',
     {"a": [1, 2], "b": "é"}, None),
    ('```\n {"plain": true} \n```', {"plain": True}, None),
    ("  \n null \n", None, None),
    ("", {"raw_response": "", "parse_error": True}, ""),
    ('```python\n{"a": 1}\n```', {"raw_response": '```python\n{"a": 1}\n```', "parse_error": True},
     'python\n{"a": 1}'),
    (f" {LONG} ", {"raw_response": f" {LONG} ", "parse_error": True}, LONG.strip()[:200]),
])
async def test_json_replies(ctx, chat_server, records, reply, expected, logged):
    chat_server.replies.append(reply)
    assert await ctx.llm_json("Answer in JSON.") == expected
    failures = [m for m in records() if "Failed to parse" in m]
    assert failures == ([] if logged is None else
                        [f"[asker] Failed to parse LLM response as JSON: {logged}"])


@pytest.mark.parametrize("reply", [
    '{"s": "\\u00e9\\ud83d\\ude00\\n\\"", "lone": "\\ud800", "k": {"k": [-0.0, 1e400]}}',
    '{"big": 123456789012345678901234567890, "nan": NaN, "f": 0.1, "dup": 1, "dup": 2.5e-3}',
    '{"deep": ' + "[" * 400 + "]" * 400 + "}",
    '{"é": "𝄞", "x": [true, false, null, -12, "\\/"]}',
])
async def test_json_read_as_json_loads_reads_it(ctx, chat_server, reply):
    chat_server.replies.append(reply)
    assert repr(await ctx.llm_json("q")) == repr(json.loads(reply))


@pytest.mark.parametrize("stripped", [42, b'{"a": 1}', None])
async def test_a_reply_whose_strip_is_not_text_is_unreadable(ctx, records, stripped):
    class Reply(str):
        def strip(self):
            return stripped

    reply = Reply('{"a": 1}')

    async def llm_ask(prompt, system=""):
        return reply

    ctx.llm_ask = llm_ask
    result = await ctx.llm_json("q")
    assert result == {"raw_response": reply, "parse_error": True}
    assert result["raw_response"] is reply
    assert records() == ['[asker] Failed to parse LLM response as JSON: {"a": 1}']


@pytest.mark.parametrize("reply", ["[1, 2]", '"text"', "42", "true"])
async def test_json_that_is_not_an_object_raises(ctx, chat_server, reply):
    chat_server.replies.append(reply)
    with pytest.raises(TypeError, match="must be an object"):
        await ctx.llm_json("q")


@pytest.mark.parametrize("status, error", [(401, "AuthenticationError"), (400, "BadRequestError")])
async def test_http_errors_logged_and_raised(ctx, chat_server, records, status, error):
    import openai

    chat_server.replies.append(status)
    with pytest.raises(getattr(openai, error)) as caught:
        await ctx.llm_json("q")
    assert records() == [f"[asker] LLM call failed: {caught.value}"]
    assert ctx.get_logs()[-1].endswith(f"] LLM call failed: {caught.value}")


async def test_given_client_and_missing_library(corvex, monkeypatch, records):
    monkeypatch.setitem(sys.modules, "openai", None)
    ctx = corvex.OmbrelContext("asker")
    with pytest.raises(ImportError):
        await ctx.llm_ask("q")
    assert ctx._llm is None and records() == []

    class Client:  # any object with the call shape serves
        def __init__(self):
            self.chat = self.completions = self

        async def create(self, **request):
            raise ConnectionError(json.dumps(request["messages"]))

    ctx = corvex.OmbrelContext("asker", Client())
    with pytest.raises(ConnectionError):
        await ctx.llm_ask("hi")
    assert records() == ['[asker] LLM call failed: [{"role": "user", "content": "hi"}]']


@pytest.mark.parametrize("call, message", [
    (lambda ctx: ctx.llm_ask(None), "prompt must be str, not NoneType"),
    (lambda ctx: ctx.llm_json("q", b"s"), "system must be str, not bytes"),
])
async def test_argument_types(corvex, call, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        await call(corvex.OmbrelContext("asker"))
