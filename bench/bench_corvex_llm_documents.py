"""Benchmarks of the skill context's LLM JSON parsing and documents
(ombrel.skills.corvex), each beside a plain-Python rendering of the same
behaviour measured in the same run.

    python bench/bench_corvex_llm_documents.py [--repeat 7]

Prints, per case, the native and the Python time per call (best of
--repeat rounds) and their ratio (Python time / native time: above 1.0 the
native code is faster), with the median and range of the rounds' ratios:
  - llm_json of a fenced reply of about 1 kB and of about 1 MB (the model
    is an in-process client that returns the reply at once, so what is
    measured is the context's own work: the call, the log entry, the fence
    handling and the JSON parsing);
  - create_document in txt, md and docx (python-docx when installed).

Everything happens in a temporary directory, in memory (/dev/shm) where
there is one: on a disk file system, rewriting a file starts its writeback
and the disk's time would swamp the code's. Build the module in Release
mode and put its package directory on PYTHONPATH (or install it).
"""

import argparse
import asyncio
import json
import logging
import pathlib
import tempfile
import time
import types

import timing
from ombrel.skills import corvex

logger = logging.getLogger("ombrel.skills.corvex")


class PlainContext:
    """The same operations, written in plain Python."""

    def __init__(self, skill_name, llm_client, output_dir):
        self.skill_name = skill_name
        self._llm = llm_client
        self._llm_model = "gpt-4.1-mini"
        self._logs = []
        self._output_dir = output_dir

    def log(self, message):
        self._logs.append(f"[{time.strftime('%H:%M:%S')}] {message}")
        logger.info(f"[{self.skill_name}] {message}")

    async def llm_ask(self, prompt, system=""):
        messages = []
        if system:
            messages.append({"role": "system", "content": system})
        messages.append({"role": "user", "content": prompt})
        try:
            response = await self._llm.chat.completions.create(
                model=self._llm_model, messages=messages, max_tokens=4096)
            text = response.choices[0].message.content or ""
            self.log(f"LLM response: {len(text)} chars")
            return text
        except Exception as e:
            self.log(f"LLM call failed: {e}")
            raise

    async def llm_json(self, prompt, system=""):
        response = await self.llm_ask(prompt, system)
        text = response.strip()
        if "```json" in text:
            text = text.split("```json")[1].split("```")[0].strip()
        elif "```" in text:
            text = text.split("```")[1].split("```")[0].strip()
        try:
            return json.loads(text)
        except json.JSONDecodeError:
            self.log(f"Failed to parse LLM response as JSON: {text[:200]}")
            return {"raw_response": response, "parse_error": True}

    def create_document(self, title, content, format="txt", filename=""):
        if not filename:
            safe = "".join(c if c.isalnum() or c in " -_" else "_" for c in title)
            filename = f"{safe}.{format}"
        path = str(self._output_dir / filename)
        if format == "docx":
            try:
                from docx import Document
                doc = Document()
                doc.add_heading(title, 0)
                for block in content.split("\n\n"):
                    if block.strip():
                        doc.add_paragraph(block.strip())
                doc.save(path)
            except ImportError:
                path = path.replace(".docx", ".txt")
                pathlib.Path(path).write_text(
                    f"{title}\n{'=' * len(title)}\n\n{content}", encoding="utf-8")
        elif format == "md":
            pathlib.Path(path).write_text(f"# {title}\n\n{content}", encoding="utf-8")
        else:
            pathlib.Path(path).write_text(
                f"{title}\n{'=' * len(title)}\n\n{content}", encoding="utf-8")
        self.log(f"Created document: {path}")
        return path


class Client:
    """An LLM client whose every reply is `reply`."""

    def __init__(self, reply):
        message = types.SimpleNamespace(content=reply)
        self.response = types.SimpleNamespace(choices=[types.SimpleNamespace(message=message)])
        self.chat = self.completions = self

    async def create(self, **request):
        return self.response


def fenced_reply(size):
    records, record = [], {"id": 0, "name": "item", "tags": ["a", "b"], "score": 0.5, "ok": True}
    while len(json.dumps(records)) < size:
        records.append(dict(record, id=len(records), name=f"item {len(records)} é"))
    return f"Here is the JSON you asked for:\n```json\n{json.dumps({'items': records})}\n```\nDone."


def compare(label, repeat, rounds, native, plain):
    """Time per call of `native(rounds)` and `plain(rounds)` over `repeat`
    tries, taken in turn so that both see the same machine."""

    def per_call(function):
        with timing.Stopwatch() as took:
            function(rounds)
        return took.wall / rounds

    times = timing.in_turns({"native": native, "plain": plain}, repeat, per_call)
    comparison = timing.Comparison(times["native"], times["plain"], higher_is_better=False)
    print(f"{label:<28} {comparison.line('us', '10.1f', 1e6)}")


def bench_llm_json(repeat, size, rounds, directory):
    reply = fenced_reply(size)
    native = corvex.OmbrelContext("bench", Client(reply))
    plain = PlainContext("bench", Client(reply), directory)
    assert asyncio.run(native.llm_json("q")) == asyncio.run(plain.llm_json("q"))

    def driver(ctx):
        def run(count):
            async def calls():
                for _ in range(count):
                    await ctx.llm_json("q")
            loop.run_until_complete(calls())
            ctx._logs.clear()
        return run

    loop = asyncio.new_event_loop()
    try:
        compare(f"llm_json, {len(reply) / 1e3:,.0f} kB reply", repeat, rounds,
                driver(native), driver(plain))
    finally:
        loop.close()


def bench_documents(repeat, directory):
    native = corvex.OmbrelContext("bench")
    plain = PlainContext("bench", None, directory / "plain")
    plain._output_dir.mkdir()
    title = "Quarterly report: sales/costs"
    content = "\n\n".join(f"Paragraph {i}: " + "lorem ipsum dolor sit amet " * 6 for i in range(8))
    for fmt, rounds in (("txt", 2000), ("md", 2000), ("docx", 40)):
        a = pathlib.Path(native.create_document(title, content, fmt))
        b = pathlib.Path(plain.create_document(title, content, fmt))
        if fmt != "docx":
            assert a.read_bytes() == b.read_bytes() and a.name == b.name

        def driver(ctx):
            def run(count):
                for _ in range(count):
                    ctx.create_document(title, content, fmt)
                ctx._logs.clear()
            return run

        compare(f"create_document, {fmt}", repeat, rounds, driver(native), driver(plain))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    memory = pathlib.Path("/dev/shm")
    with tempfile.TemporaryDirectory(dir=memory if memory.is_dir() else None) as temporary:
        print(f"files in {temporary}")
        directory = pathlib.Path(temporary)
        corvex.STATE_DIR = directory / "skill_state"
        corvex.OUTPUT_DIR = directory / "skill_output"
        bench_llm_json(args.repeat, 1_000, 5000, directory)
        bench_llm_json(args.repeat, 1_000_000, 20, directory)
        bench_documents(args.repeat, directory)


if __name__ == "__main__":
    main()
