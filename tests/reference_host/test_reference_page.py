"""The reference host's page in a real browser (Debian's Chromium through
Playwright) against the running app, step by step as a person uses it. Each
step leaves a screenshot of the page in build/screenshots/.

These run on CPython 3.11 only: the interpreter tools/run-example.sh serves
the app with. The page and the app are the same on 3.13, whose run already
covers every module the app drives; a second browser pass would double the
slowest tests for no new fault found."""
from __future__ import annotations

import json
import os
import re
import sqlite3
import sys
import time

import pytest

from reference_support import SCREENSHOTS, App

pytestmark = pytest.mark.skipif(sys.version_info[:2] != (3, 11),
                                reason="the browser tests run on the interpreter that serves the example (3.11)")

sync_api = pytest.importorskip("playwright.sync_api")
expect = sync_api.expect


@pytest.fixture(scope="module")
def browser(browsers_path):
    os.environ["PLAYWRIGHT_BROWSERS_PATH"] = str(browsers_path)
    playwright = sync_api.sync_playwright().start()
    try:
        # The browser is not ours to check: no sanitizer runtime preloaded into it.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        chromium = playwright.chromium.launch(headless=True, args=["--no-sandbox", "--disable-dev-shm-usage"],
                                              env=env)
        yield chromium
        chromium.close()
    finally:
        playwright.stop()


@pytest.fixture
def page(browser, app):
    context = browser.new_context(viewport={"width": 1200, "height": 800})
    page = open_page(context, app)
    yield page
    context.close()


def open_page(context, app):
    page = context.new_page()
    page.app = app
    page.set_default_timeout(15000)
    page.goto(app.page_url)
    expect(page.locator("#connection")).to_have_text("connected")
    return page


def shot(page, name: str) -> None:
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=SCREENSHOTS / f"{name}.png")


def say(page, text: str) -> None:
    page.fill("#message", text)
    page.click("#send")


def wait_turn_end(page, timeout: float = 30000) -> None:
    expect(page.locator("#stop")).to_be_hidden(timeout=timeout)


def last_bubble(page) -> str:
    return page.locator(".turn").last.locator(".bubble").last.inner_text()


def stored_user_messages(app, conversation_id: str, role: str = "user") -> list[str]:
    """What the app's database holds as the user's messages of a conversation
    (or its messages of another ``role``)."""
    with sqlite3.connect(f"file:{app.data_dir / 'conversations.sqlite3'}?mode=ro", uri=True) as db:
        return [row[0] for row in db.execute(
            "SELECT content FROM messages WHERE conversation_id = ? AND role = ? ORDER BY id",
            (conversation_id, role))]


def counted(n: int) -> str:
    """The offline agent's whole answer to "count n"."""
    return " ".join(str(k) for k in range(1, n)) + f" {n}."


def shown_conversation(page) -> str:
    """The conversation the page shows, after checking that its address, its
    list and the database agree with what it shows."""
    conversation_id = page.evaluate("location.hash.slice(1)")
    expect(page.locator("#conversations li.active")).to_have_attribute("data-id", conversation_id)
    assert page.locator("#log .user").all_inner_texts() == stored_user_messages(page.app, conversation_id)
    return conversation_id


def test_a_message_gets_a_streamed_reply(page):
    frames = []
    page.on("websocket", lambda ws: ws.on("framereceived", lambda payload: frames.append(payload)))
    page.reload()
    expect(page.locator("#connection")).to_have_text("connected")
    expect(page.locator("#agent-mode")).to_have_text("offline agent")
    say(page, "help")
    expect(page.locator(".user").last).to_have_text("help")
    expect(page.locator("#banner")).to_contain_text("Standard agent")
    expect(page.locator("#banner")).not_to_contain_text("Computer Use mode")
    wait_turn_end(page)
    assert "I work offline" in last_bubble(page) and "run skill NAME" in last_bubble(page)
    assert sum('"type": "text"' in str(f) or '"type":"text"' in str(f) for f in frames) > 5  # streamed in pieces
    say(page, "frobnicate the widgets")
    wait_turn_end(page)
    assert "I don't know what to do with “frobnicate the widgets”" in last_bubble(page)
    say(page, "click three")
    expect(page.locator(".turn").last.locator(".error")).to_contain_text("Usage: click N")
    shot(page, "01-chat")


def test_an_approval_from_a_second_tab_is_resolved_on_both(page, browser, app):
    other = open_page(page.context, app)
    say(page, 'run skill shell_command {"command": "echo approved-in-tab-two"}')
    for tab in (page, other):
        expect(tab.locator(".approval")).to_contain_text("The skill shell_command runs shell commands")
    expect(page.locator(".turn").last.locator(".notice")).to_have_text("Waiting for approval of run_skill…")
    shot(other, "02-approval-requested")
    other.locator(".approval .approve").click()
    for tab in (page, other):
        expect(tab.locator(".approval")).to_contain_text("✓ Approved")
    wait_turn_end(page)
    expect(page.locator(".turn").last).to_contain_text("approved-in-tab-two")
    shot(page, "03-approval-resolved")

    # Rejected from the requesting tab itself: the control connection is free.
    say(page, 'run skill shell_command {"command": "echo never"}')
    page.locator(".approval:not(.resolved) .reject").click()
    wait_turn_end(page)
    assert "did not approve" in page.locator(".turn").last.inner_text()
    expect(other.locator(".approval").last).to_contain_text("✗ Rejected")


def test_each_example_skill_runs(page):
    from ombrel.skills import corvex
    say(page, 'run skill visit_counter {"who": "Ada"}')
    wait_turn_end(page)
    say(page, 'run skill visit_counter {"who": "Bob"}')
    wait_turn_end(page)
    assert '"count": 2, "previous_visitor": "Ada"' in last_bubble(page)  # state kept between runs

    say(page, 'run skill write_report {"title": "Weekly notes", "content": "One.\\n\\nTwo."}')
    wait_turn_end(page)
    if hasattr(corvex.OmbrelContext, "create_document"):
        expect(page.locator(".turn").last.locator("a")).to_have_text("Weekly notes.docx")
    else:  # skills without documents yet: the failure is shown, the page goes on
        assert "create_document" in last_bubble(page)

    say(page, 'run skill browse_page {"name": "Ada"}')
    wait_turn_end(page, 60000)
    if hasattr(corvex.OmbrelContext, "browser_navigate"):
        assert '"greeting": "Hello, Ada!"' in last_bubble(page)
        picture = page.locator(".turn").last.locator("img.shot")  # the page the skill saw
        expect(picture).to_be_visible()
        assert picture.evaluate("img => img.naturalWidth") > 0
    else:
        assert "browser_navigate" in last_bubble(page)
    shot(page, "04-skills")

    say(page, "run skill broken_skill")
    wait_turn_end(page)
    assert "The skill broken_skill failed: SyntaxError" in last_bubble(page)
    say(page, "run skill visit_counter [1, 2]")
    expect(page.locator(".turn").last.locator(".error")).to_contain_text("must be a JSON object")
    shot(page, "05-skill-errors")


def test_the_desktop_snapshot_click_and_screenshots(page, desktop_env):
    if desktop_env is None:
        pytest.skip("no Xvfb desktop on this machine")
    say(page, "snapshot Vantor test window")
    wait_turn_end(page)
    text = last_bubble(page)
    assert text.startswith("Vantor test window: ") and "Window: Vantor test window" in text
    ref = re.search(r'\[(\d+)\] push button "Press me"', text).group(1)
    # The snapshot's details as badges: the focused button's, and bounds.
    snapshot = page.locator(".turn").last.locator(".bubble pre.snapshot")
    expect(snapshot.locator(".badge.focused")).to_have_text("focused")
    expect(snapshot.locator(".bounds").first).to_have_text(re.compile(r"@\d+,\d+,\d+,\d+"))
    say(page, f"click {ref}")
    wait_turn_end(page)
    # Linux refs act: the button's AT-SPI action is done.
    click = page.locator(".turn").last
    expect(click.locator("details").last).to_contain_text("desktop_click_ref")
    expect(click.locator(".bubble")).to_contain_text('"action_name": "click"')
    say(page, "press ctrl+a")
    wait_turn_end(page)
    expect(page.locator(".turn").last.locator(".bubble")).to_contain_text('"action": "key_press"')
    say(page, "focus Vantor test window")
    wait_turn_end(page)
    expect(page.locator(".turn").last.locator("summary").last).to_have_text(
        re.compile(r"^[✓✗] desktop_focus_window: (?!.*undefined)"))
    shot(page, "06-desktop-snapshot")

    say(page, "screenshot")
    wait_turn_end(page)
    picture = page.locator(".turn").last.locator("img.shot")
    expect(picture).to_be_visible()
    assert picture.evaluate("img => img.naturalWidth") >= 800  # the whole Xvfb screen, not a placeholder

    page.check("#computer-use")
    say(page, "open the settings")
    expect(page.locator("#banner")).to_contain_text("Computer-use agent")
    wait_turn_end(page)
    turn = page.locator(".turn").last
    expect(turn.locator("img.shot")).to_be_visible()
    expect(turn).to_contain_text("computer.screenshot")
    expect(turn.locator(".bubble")).to_contain_text("a real computer-use agent would now act")
    shot(page, "07-computer-use")


def test_a_stale_ref_is_shown_as_such(page, desktop_env, request):
    if desktop_env is None:
        pytest.skip("no Xvfb desktop on this machine")
    import subprocess
    import time

    title = request.getfixturevalue("second_window")
    say(page, f"snapshot {title}")
    wait_turn_end(page)
    text = last_bubble(page)
    tick = re.search(r'\[(\d+)\] check box "Tick me"', text).group(1)
    x, y, w, h = map(int, re.search(r'push button "Press me".*?@(\d+),(\d+),(\d+),(\d+)',
                                    text).groups())
    say(page, "find tick")
    wait_turn_end(page)
    assert f'[{tick}] check box "Tick me"' in last_bubble(page)
    # A real click on the window's button puts a label above everything a
    # second later: the check box's ref now names another element.
    subprocess.run(["xdotool", "mousemove", "--sync", str(x + w // 2), str(y + h // 2), "click",
                    "1"], env={**os.environ, **desktop_env}, check=True)
    time.sleep(1.5)
    say(page, f"click {tick}")
    wait_turn_end(page)
    turn = page.locator(".turn").last
    expect(turn.locator("details.step.stale summary")).to_have_text(
        f"⟳ desktop_click_ref: stale ref [{tick}], take a new snapshot")
    expect(turn.locator(".bubble")).to_contain_text(f"Ref [{tick}] is stale")
    shot(page, "06-desktop-stale-ref")


@pytest.mark.parametrize("how", ["button", "Escape"])
def test_a_running_turn_stops(page, how):
    say(page, "count 100")
    expect(page.locator(".turn").last.locator(".bubble")).to_contain_text("2")
    expect(page.locator("#stop")).to_be_visible()
    if how == "button":
        page.click("#stop")
    else:
        page.keyboard.press("Escape")
    wait_turn_end(page, 5000)
    expect(page.locator(".turn").last).to_contain_text("Stopped by the user")
    assert "100." not in last_bubble(page)
    shot(page, f"08-stopped-{how}")


def test_the_heartbeat_starts_pauses_resumes_and_stops(page, app):
    other = open_page(page.context, app)
    for interval in ("0", "0.5", ""):  # refused by the page, before anything is sent
        page.fill("#hb-interval", interval)
        page.click("[data-heartbeat=start]")
        expect(page.locator("#hb-message")).to_have_text("The interval must be a number of seconds, at least 1.")
    expect(page.locator("#hb-state")).to_have_text("stopped")
    page.fill("#hb-interval", "1")
    page.click("[data-heartbeat=start]")
    expect(page.locator("#hb-message")).to_be_hidden()
    for tab in (page, other):  # every page follows the heartbeat
        expect(tab.locator("#hb-state")).to_have_text("running")
    expect(page.locator("#beats")).to_contain_text("♥ beat 2 of 5", timeout=10000)
    expect(page.locator("#beats")).to_contain_text("Standing by: nothing is pending.")
    # Each beat is one entry of the list, its answer inside it.
    expect(page.locator("#beats li.beat", has_text="beat 1 of 5")).to_contain_text("Standing by: nothing is pending.")
    assert page.locator("#beats li").count() == page.locator("#beats li.beat").count()
    page.click("[data-heartbeat=pause]")
    expect(other.locator("#hb-state")).to_have_text("paused")
    shot(page, "09-heartbeat-paused")
    page.click("[data-heartbeat=resume]")
    expect(page.locator("#hb-state")).to_have_text("running")
    page.click("[data-heartbeat=stop]")
    expect(other.locator("#hb-state")).to_have_text("stopped")
    shot(page, "10-heartbeat-stopped")


def test_a_heartbeat_interval_the_host_refuses_is_answered(page):
    control = page.evaluate_handle("sockets.control")
    # Past the page's own check, as another host's floor would be, while the
    # answer to an earlier question is still on its way.
    page.evaluate("heartbeatControl('status'); heartbeatControl('start', 0.5)")
    expect(page.locator("#hb-message")).to_have_text("Refused: interval must be at least 1.0 seconds, not 0.5")
    # An answer, not a dropped connection.
    assert page.evaluate("socket => socket === sockets.control && socket.readyState === WebSocket.OPEN", control)
    expect(page.locator("#connection")).to_have_text("connected")
    shot(page, "10b-heartbeat-refused")


def test_after_a_restart_the_page_reconnects_and_resumes_a_conversation(page, app):
    page.click("#new-conversation")
    expect(page.locator("#log")).to_contain_text("New conversation")
    say(page, 'run skill visit_counter {"who": "before the restart"}')
    wait_turn_end(page)
    app.restart()
    expect(page.locator("#connection")).to_have_text("connected", timeout=20000)
    page.click("#new-conversation")
    expect(page.locator("#log")).to_contain_text("New conversation")
    page.locator("#conversations li", has_text="before the restart").click()
    expect(page.locator("#log .user").first).to_contain_text("before the restart")
    expect(page.locator("#log .bubble").first).to_contain_text("The skill visit_counter finished")
    expect(page.locator("#conversations li.active")).to_contain_text("before the restart")
    shot(page, "11-resumed")


def test_a_reload_during_an_answer_shows_it_whole_once(page, app):
    say(page, "count 12")
    expect(page.locator(".turn").last.locator(".bubble")).to_contain_text("3")
    page.reload()
    # The reloaded page takes its chat session over while the turn still
    # runs: the turn is replayed from its start, and the rest comes live.
    expect(page.locator("#stop")).to_be_visible()
    expect(page.locator("#send")).to_be_disabled()
    expect(page.locator(".turn").last.locator(".bubble")).to_contain_text("5")
    shot(page, "11a-reloaded-during-an-answer")
    wait_turn_end(page)
    expect(page.locator(".turn").last.locator(".bubble")).to_have_text(counted(12))
    expect(page.locator("#log .user", has_text="count 12")).to_have_count(1)
    expect(page.locator(".turn").last.locator(".bubble")).to_have_count(1)
    assert stored_user_messages(app, shown_conversation(page), "assistant")[-1] == counted(12)
    shot(page, "11b-reloaded-answer-whole")


def test_a_tab_that_comes_back_after_its_turn_gets_the_turn_replayed(page, app):
    say(page, "count 6")
    expect(page.locator(".turn").last.locator(".bubble")).to_contain_text("2")
    address = page.url.split("?")[0]  # the tab keeps the token, not its address
    conversation_id = page.evaluate("location.hash.slice(1)")
    page.goto("about:blank")  # away while the turn goes on
    deadline = time.monotonic() + 20
    while counted(6) not in stored_user_messages(app, conversation_id, "assistant"):
        assert time.monotonic() < deadline
        time.sleep(0.1)
    time.sleep(0.5)  # the turn's connection ends with it, and lets its session go
    frames = []
    page.on("websocket", lambda ws: ws.on("framereceived", lambda payload: frames.append(json.loads(payload))))
    page.goto(address)
    expect(page.locator("#connection")).to_have_text("connected")
    expect(page.locator(".turn").last.locator(".bubble")).to_have_text(counted(6))
    expect(page.locator("#log .user", has_text="count 6")).to_have_count(1)
    expect(page.locator(".turn").last.locator(".bubble")).to_have_count(1)
    # Both sessions resumed; the chat's from before the turn, whose events came again.
    assert [f["resumed"] for f in frames if f["type"] == "session"] == [True, True]
    assert [f["content"] for f in frames if f["type"] == "text"] == [f"{k} " for k in range(1, 6)] + ["6."]
    assert shown_conversation(page) == conversation_id
    shot(page, "11c-turn-replayed")


def test_a_reload_while_an_approval_waits_then_approving_shows_the_result(page, app):
    say(page, 'run skill shell_command {"command": "echo approved-after-a-reload"}')
    expect(page.locator(".approval")).to_contain_text("The skill shell_command runs shell commands")
    page.reload()
    expect(page.locator(".approval")).to_contain_text("The skill shell_command runs shell commands")
    expect(page.locator(".turn").last).to_contain_text("shell_command")  # the turn, replayed
    page.wait_for_timeout(500)  # the request is sent again and listed: one card still
    expect(page.locator(".approval")).to_have_count(1)
    shot(page, "11d-reloaded-approval-waits")
    page.locator(".approval .approve").click()
    expect(page.locator(".approval")).to_contain_text("✓ Approved")
    wait_turn_end(page)
    expect(page.locator(".turn").last).to_contain_text("approved-after-a-reload")
    stored = stored_user_messages(app, shown_conversation(page), "assistant")
    assert stored[-1].startswith("The skill shell_command finished") and "approved-after-a-reload" in stored[-1]
    shot(page, "11e-approved-after-a-reload")


def test_a_page_without_the_right_token_says_what_to_do(browser, app):
    context = browser.new_context(viewport={"width": 1000, "height": 700})
    try:
        page = context.new_page()
        page.set_default_timeout(15000)
        page.goto(app.url)
        expect(page.locator("#connection")).to_have_text("no access")
        expect(page.locator("#log .access")).to_contain_text("This page needs the app's access token.")
        expect(page.locator("#log .access")).to_contain_text(f"{app.url}?token=…")
        expect(page.locator("#send")).to_be_disabled()
        shot(page, "11f-no-token")
        page.goto(app.url + "?token=wrong")
        expect(page.locator("#log .access")).to_contain_text("The app refused this page's access token.")
        assert page.locator("#conversations li[data-id]").count() == 0
        shot(page, "11g-wrong-token")

        page.goto(app.page_url)
        expect(page.locator("#connection")).to_have_text("connected")
        assert "token" not in page.url  # out of the address bar, kept for the tab
        # A tab opened without it gets it with the cookie the first one got.
        other = context.new_page()
        other.goto(app.url)
        expect(other.locator("#connection")).to_have_text("connected")
    finally:
        context.close()


def test_a_message_over_the_size_limit_is_refused(page):
    page.fill("#message", "x" * 300_000)
    page.click("#send")
    expect(page.locator("#log .error")).to_contain_text("This message is too long to send")
    expect(page.locator("#log .user")).to_have_count(0)
    # Past the page, the server ends the connection and says why; the page comes back.
    page.evaluate("sockets.control.send(JSON.stringify({type: 'ping', pad: 'x'.repeat(300000)}))")
    expect(page.locator("#log .error").last).to_have_text("The server closed the connection: Message too big.")
    expect(page.locator("#connection")).to_have_text("connected")
    shot(page, "11h-too-big")


def test_each_tab_keeps_its_own_conversation_across_a_restart(page, app):
    other = open_page(page.context, app)
    say(page, "first words of tab A")
    wait_turn_end(page)
    page.click("#new-conversation")  # A moves on to a new conversation; B is not moved with it
    expect(page.locator("#log")).to_contain_text("New conversation")
    say(other, "first words of tab B")
    wait_turn_end(other)
    say(page, "second conversation of tab A")
    wait_turn_end(page)
    a, b = shown_conversation(page), shown_conversation(other)
    assert a != b and stored_user_messages(app, b) == ["first words of tab B"]

    app.restart()
    for tab, text in ((other, "tab B after the restart"), (page, "tab A after the restart")):
        expect(tab.locator("#connection")).to_have_text("connected", timeout=20000)
        expect(tab.locator("#send")).to_be_enabled()
        say(tab, text)
        wait_turn_end(tab)
    assert (shown_conversation(page), shown_conversation(other)) == (a, b)
    assert stored_user_messages(app, b) == ["first words of tab B", "tab B after the restart"]
    other.reload()  # the address names the conversation
    expect(other.locator("#log .user")).to_have_text(["first words of tab B", "tab B after the restart"])
    assert shown_conversation(other) == b
    shot(page, "12-two-tabs-tab-a")
    shot(other, "13-two-tabs-tab-b")


def test_conversations_are_renamed_and_deleted_from_any_tab(page, app):
    other = open_page(page.context, app)
    say(page, "a conversation to rename")
    wait_turn_end(page)
    conversation_id = shown_conversation(page)
    item = f'#conversations li[data-id="{conversation_id}"]'
    page.locator(item).hover()
    page.locator(f"{item} .rename").click()
    page.locator(f"{item} input").fill("Renamed on tab A")
    page.keyboard.press("Enter")
    for tab in (page, other):  # every tab's list follows
        expect(tab.locator(item)).to_contain_text("Renamed on tab A")
    shot(other, "14-renamed")

    other.once("dialog", lambda dialog: dialog.accept())
    other.locator(item).hover()
    other.locator(f"{item} .delete").click()
    for tab in (page, other):
        expect(tab.locator(item)).to_have_count(0)
    # The tab that showed it moves to a new conversation, which its next message goes into.
    expect(page.locator("#log")).to_contain_text("This conversation was deleted.")
    assert stored_user_messages(app, conversation_id) == []
    say(page, "after the delete")
    wait_turn_end(page)
    assert shown_conversation(page) != conversation_id
    shot(page, "15-deleted")


def test_a_resumed_conversation_looks_as_it_did_live(page):
    say(page, 'run skill write_report {"title": "Resumed notes", "format": "md"}')
    wait_turn_end(page)
    page.check("#computer-use")
    say(page, "look at the screen")
    wait_turn_end(page)
    expect(page.locator(".turn").last.locator("img.shot")).to_be_visible()
    expect(page.locator(".user-meta").last.locator(".tag")).to_have_text("computer use")

    def seen():
        log = page.locator("#log")
        return {"users": log.locator(".user").all_inner_texts(),
                "steps": log.locator("details.step summary").all_inner_texts(),
                "links": log.locator(".turn a[href^='/files/']").all_inner_texts(),
                "pictures": log.locator("img.shot").count(),
                "answers": log.locator(".bubble").all_inner_texts(),
                "tags": log.locator(".meta .tag").all_inner_texts(),
                "times": log.locator(".meta time").count()}

    expect(page.locator(".bubble:not(.rendered)")).to_have_count(0)
    live = seen()
    assert live["links"] == ["Resumed notes.md"] and live["times"] == 4
    page.reload()
    expect(page.locator(".bubble.rendered")).to_have_count(len(live["answers"]))
    assert seen() == live
    for picture in page.locator("img.shot").all():
        assert picture.evaluate("img => img.complete && img.naturalWidth") > 0
    shot(page, "16-resumed-as-live")


@pytest.mark.parametrize("width, scheme", [(390, "light"), (360, "dark")])
def test_on_a_narrow_screen_the_sidebar_folds_away(browser, app, width, scheme):
    context = browser.new_context(viewport={"width": width, "height": 740}, color_scheme=scheme)
    try:
        page = open_page(context, app)
        expect(page.locator("#sidebar")).to_be_hidden()
        say(page, "help")
        wait_turn_end(page)
        assert page.locator("#log").bounding_box()["width"] >= width - 24  # the chat has the width
        assert page.locator("#message").bounding_box()["width"] >= width / 2
        assert page.evaluate("document.documentElement.scrollWidth") <= width  # nothing sticks out
        background = page.evaluate("getComputedStyle(document.getElementById('log')).backgroundColor")
        red, green, blue = map(int, re.findall(r"\d+", background)[:3])
        assert (red + green + blue < 200) == (scheme == "dark")  # the system's theme
        shot(page, f"17-narrow-{width}-{scheme}")

        page.click("#menu")
        expect(page.locator("#sidebar")).to_be_visible()
        expect(page.locator("#new-conversation")).to_be_in_viewport()
        shot(page, f"18-narrow-{width}-{scheme}-menu")
        page.keyboard.press("Escape")
        expect(page.locator("#sidebar")).to_be_hidden()
    finally:
        context.close()


MARKDOWN = ("**Bold** words, a `<script>window.ran = 1</script>` in a code span, "
            "a [link](https://example.org/docs) and <img src=x onerror=\"window.ran = 2\"> as text.\n\n"
            "- first item\n- second item\n\n"
            "| name | value |\n|------|------:|\n| a | 1 |\n| b | 22 |\n\n"
            "```python\nprint('hi')\n```")


@pytest.fixture
def model_app(app_env, chat_server, tmp_path):
    """The app asking a model: the local chat completions server."""
    env, _ = app_env
    running = App({**env, "OPENAI_BASE_URL": chat_server.base_url, "OPENAI_API_KEY": "sk-test",
                   "OMBREL_MODEL": "test-model"}, tmp_path / "data")
    running.start()
    yield running
    running.stop()


def test_answers_are_rendered_as_markdown_and_nothing_in_them_runs(browser, model_app, chat_server):
    context = browser.new_context(viewport={"width": 1100, "height": 760})
    try:
        context.grant_permissions(["clipboard-read", "clipboard-write"], origin=model_app.url.rstrip("/"))
        page = open_page(context, model_app)
        expect(page.locator("#agent-mode")).to_have_text("model: test-model")
        chat_server.replies = [MARKDOWN]
        say(page, "show me some formatting")
        wait_turn_end(page)
        answer = page.locator(".turn").last.locator(".bubble.rendered")
        expect(answer.locator("strong")).to_have_text("Bold")
        expect(answer.locator("p code")).to_have_text("<script>window.ran = 1</script>")
        expect(answer.locator("a")).to_have_attribute("href", "https://example.org/docs")
        expect(answer.locator("a")).to_have_attribute("rel", "noopener noreferrer")
        expect(answer.locator("ul li")).to_have_text(["first item", "second item"])
        expect(answer.locator("table td")).to_have_text(["a", "1", "b", "22"])
        expect(answer).to_contain_text('<img src=x onerror="window.ran = 2"> as text')
        assert answer.locator("script, img").count() == 0 and page.evaluate("window.ran") is None
        expect(answer.locator(".code-head")).to_contain_text("python")
        assert answer.locator("pre code span").count() > 1  # highlighted
        shot(page, "19-markdown")

        answer.locator(".code-head .copy").click()
        expect(answer.locator(".code-head .copy")).to_have_text("Copied")
        assert page.evaluate("navigator.clipboard.readText()") == "print('hi')\n"
        page.locator(".turn").last.locator(".meta .copy").click()
        expect(page.locator(".turn").last.locator(".meta .copy")).to_have_text("Copied")
        assert page.evaluate("navigator.clipboard.readText()") == MARKDOWN

        page.reload()  # the stored answer is rendered alike
        expect(page.locator(".bubble.rendered strong")).to_have_text("Bold")
        assert page.locator(".bubble script, .bubble img").count() == 0 and page.evaluate("window.ran") is None
    finally:
        context.close()
