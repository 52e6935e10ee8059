"""Runs a shell command. It uses ctx.shell, so the host asks the user to
approve every run before it starts.

    run skill shell_command {"command": "uname -a"}
"""


async def run(ctx, params):
    command = params.get("command")
    if not isinstance(command, str) or not command.strip():
        return {"success": False, "message": "Give the command as \"command\""}
    output = await ctx.shell(command, timeout=float(params.get("timeout", 20)))
    return {"success": not output.startswith(("[TIMEOUT]", "[ERROR]")), "output": output}
