"""Counts its own runs in the skill's persistent state.

    run skill visit_counter {"who": "Ada"}

Parameters: "who" (remembered as the last visitor), "reset" (true to start
again from zero).
"""


async def run(ctx, params):
    if params.get("reset"):
        ctx.clear_state()
    count = ctx.load_state("count", 0) + 1
    previous = ctx.load_state("last_visitor")
    ctx.save_state("count", count)
    ctx.save_state("last_visitor", str(params.get("who", "someone")))
    ctx.log(f"Run number {count}")
    return {"success": True, "count": count, "previous_visitor": previous}
