"""Fills in a form in the headless browser and reads the page's answer.

    run skill browse_page {"name": "Ada"}

Parameters: "name" (typed into the form), "url" (another page with the
same form; default: pages/greeting.html beside this file).
"""
from pathlib import Path


async def run(ctx, params):
    url = params.get("url") or (Path(__file__).parent / "pages" / "greeting.html").as_uri()
    await ctx.browser_navigate(url)
    await ctx.browser_type("#name", str(params.get("name", "Ombrel")))
    await ctx.browser_click("#greet")
    await ctx.browser_wait("#greeting")
    greeting = await ctx.browser_evaluate("document.querySelector('#greeting').textContent")
    title = await ctx.browser_evaluate("document.title")
    screenshot = await ctx.browser_screenshot("greeting")
    ctx.log(f"The page answered: {greeting}")
    return {"success": True, "title": title, "greeting": greeting, "screenshot": screenshot}
