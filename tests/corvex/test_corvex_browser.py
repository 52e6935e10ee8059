"""OmbrelContext's browser: Debian's Chromium driven by the real Playwright
library on a page served on 127.0.0.1, and fakes of Playwright (injected
through sys.modules) for the failure paths."""

import http.server
import pathlib
import sys
import threading
import types

import pytest

# browsers_path (tests/conftest.py): Playwright's browsers folder over Debian's Chromium.

PAGE = b"""<!doctype html><html><body>
<h1>Sign in</h1>
<input id="name"> <input id="file" type="file">
<button id="go" onclick="setTimeout(() => {
  const name = document.getElementById('name').value;
  document.cookie = 'token=' + name + '; max-age=3600; path=/';
  const p = document.createElement('p');
  p.id = 'done'; p.textContent = 'Welcome ' + name;
  document.body.appendChild(p);
}, 100)">Go</button>
</body></html>"""


class PageHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(PAGE)))
        self.end_headers()
        self.wfile.write(PAGE)

    def log_message(self, *args):
        pass


@pytest.fixture
def page_url():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), PageHandler)
    thread = threading.Thread(target=server.serve_forever, args=(0.02,), daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_port}/form"
    server.shutdown()
    server.server_close()
    thread.join()


SIGN_IN = """
import time

async def run(ctx, params):
    started = time.monotonic()
    await ctx.browser_navigate(params["url"])
    navigated = time.monotonic() - started
    await ctx.browser_type("#name", "Ada")
    await ctx.browser_click("#go")
    await ctx.browser_wait("#done", 5000)
    text = await ctx.browser_get_text()
    heading = await ctx.browser_evaluate("() => document.querySelector('h1').textContent")
    shot = await ctx.browser_screenshot("page")
    await ctx.browser_upload("#file", params["upload"])
    uploaded = await ctx.browser_evaluate("() => document.getElementById('file').files[0].name")
    summary = await ctx.llm_json("Summarise as JSON: " + text)
    document = ctx.create_document(summary["title"], text, "docx")
    await ctx.browser_save_session()
    return {"navigated": navigated, "text": text, "heading": heading, "shot": shot,
            "uploaded": uploaded, "document": document}
"""

COOKIE = """
async def run(ctx, params):
    await ctx.browser_navigate(params["url"], "load")
    return {"cookie": await ctx.browser_evaluate("document.cookie")}
"""


async def test_browser_llm_and_documents_in_skills(
        corvex, runner, write_skill, browsers_path, page_url, chat_server, records,
        monkeypatch, tmp_path):
    monkeypatch.setenv("PLAYWRIGHT_BROWSERS_PATH", str(browsers_path))
    # The sanitizer build preloads its runtime: not for the browser's processes.
    monkeypatch.delenv("LD_PRELOAD", raising=False)
    upload = tmp_path / "upload.txt"
    upload.write_text("payload")
    reply = '```json\n{"title": "Signed in"}\n```'
    chat_server.replies.append(reply)

    first = await runner.run("signin", {"url": page_url, "upload": str(upload)},
                             write_skill("signin.py", SIGN_IN))
    assert first.success is True, first.error
    out = first.result
    assert out["navigated"] >= 1.0
    assert "Welcome Ada" in out["text"] and out["heading"] == "Sign in"
    assert out["uploaded"] == "upload.txt"
    assert out["shot"] == str(corvex.OUTPUT_DIR / "signin" / "page.png")
    assert pathlib.Path(out["shot"]).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(first.output_files) == [str(corvex.OUTPUT_DIR / "signin" / n)
                                          for n in ("Signed in.docx", "page.png")]
    assert "Welcome Ada" in chat_server.requests[0][1]["messages"][0]["content"]
    logged = [entry.split("] ", 1)[1] for entry in first.logs]
    assert logged == [
        "Starting skill: signin", "Browser opened", f"Navigated to {page_url}",
        "Typed into: #name", "Clicked: #go", f"Screenshot saved: {out['shot']}",
        f"Uploaded {upload} to #file", f"LLM response: {len(reply)} chars",
        f"Created document: {out['document']}", "Browser session saved"]
    assert records()[-1] == "[signin] Browser closed"
    assert (tmp_path / "home" / ".ombrel" / "browser_session" / "state.json").is_file()

    second = await runner.run("cookie", {"url": page_url}, write_skill("cookie.py", COOKIE))
    assert second.success is True, second.error
    assert second.result == {"cookie": "token=Ada"}


class Fake:
    """Stands for a Playwright object: every method is a coroutine function
    that records its call and returns what `results` holds for it, or fails
    when it is named in `failing`."""

    def __init__(self, name, calls, results, failing):
        self._name, self._calls, self._results, self._failing = name, calls, results, failing

    def __getattr__(self, method):
        name = f"{self._name}.{method}"

        async def call(*args, **kwargs):
            self._calls.append((name, args, kwargs))
            if name in self._failing:
                raise RuntimeError(f"{name} failed")
            return self._results.get(name)

        return call


def fake_playwright(monkeypatch, failing=()):
    """Installs a fake `playwright.async_api`; returns the list of calls."""
    calls, results = [], {}
    make = lambda name: Fake(name, calls, results, set(failing))  # noqa: E731
    driver = make("driver")
    driver.chromium = make("chromium")
    results.update({"starter.start": driver, "chromium.launch": make("browser"),
                    "browser.new_context": make("context"), "context.new_page": make("page")})
    module = types.ModuleType("playwright.async_api")
    module.async_playwright = lambda: make("starter")
    monkeypatch.setitem(sys.modules, "playwright.async_api", module)
    return calls


async def test_fixed_settings_one_launch_and_saved_session(corvex, monkeypatch, tmp_path, records):
    calls = fake_playwright(monkeypatch)
    session = tmp_path / "home" / ".ombrel" / "browser_session" / "state.json"
    ctx = corvex.OmbrelContext("fake")
    await ctx.browser_save_session()  # nothing open: nothing saved, nothing logged
    assert calls == [] and records() == []
    session.parent.mkdir(parents=True)
    session.write_text("{}")
    await ctx.browser_click("#a")
    await ctx.browser_navigate("http://x/", "load")
    await ctx.browser_type("#b", "secret", timeout=7)
    await ctx.browser_wait("#c")
    assert calls == [
        ("starter.start", (), {}),
        ("chromium.launch", (), {"headless": True, "args": ["--no-sandbox", "--disable-dev-shm-usage"]}),
        ("browser.new_context", (), {"storage_state": str(session)}),
        ("context.new_page", (), {}),
        ("page.click", ("#a",), {"timeout": 5000.0}),
        ("page.goto", ("http://x/",), {"wait_until": "load", "timeout": 30000}),
        ("page.fill", ("#b", "secret"), {"timeout": 7.0}),
        ("page.wait_for_selector", ("#c",), {"timeout": 10000.0})]
    assert records() == ["[fake] Browser opened", "[fake] Clicked: #a",
                         "[fake] Navigated to http://x/", "[fake] Typed into: #b"]
    with pytest.raises(TypeError, match="page's text must be str, not NoneType"):
        await ctx.browser_get_text()


async def test_missing_playwright_logged_and_raised(corvex, monkeypatch, records):
    monkeypatch.setitem(sys.modules, "playwright.async_api", None)
    ctx = corvex.OmbrelContext("fake")
    with pytest.raises(ModuleNotFoundError, match="None in sys.modules") as caught:
        await ctx.browser_screenshot()
    assert records() == [f"[fake] Failed to open browser: {caught.value}"]
    assert ctx._playwright is None and ctx._page is None


async def test_open_failure_then_close_errors_ignored(corvex, monkeypatch, records):
    calls = fake_playwright(monkeypatch, failing={"chromium.launch"})
    ctx = corvex.OmbrelContext("fake")
    with pytest.raises(RuntimeError, match="^chromium.launch failed$"):
        await ctx.browser_open()
    driver = ctx._playwright
    assert driver is not None and ctx._browser_instance is None
    await ctx.browser_close()  # the started driver is stopped
    assert calls[-1][0] == "driver.stop"

    calls = fake_playwright(monkeypatch, failing={"context.close", "browser.close", "driver.stop"})
    page = await ctx.browser_open()
    assert page is ctx._page
    await ctx.browser_close()
    await ctx.browser_close()
    assert [c[0] for c in calls[4:]] == ["context.close", "browser.close", "driver.stop",
                                         "driver.stop"]
    assert (ctx._page, ctx._browser_instance, ctx._browser_context) == (None, None, None)
    assert records() == ["[fake] Failed to open browser: chromium.launch failed",
                         "[fake] Browser closed", "[fake] Browser opened",
                         "[fake] Browser closed", "[fake] Browser closed"]
