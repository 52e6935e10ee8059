"""Writes a document into the skill's output folder.

    run skill write_report {"title": "Weekly notes", "content": "First.\n\nSecond.", "format": "docx"}

Parameters: "title", "content" (paragraphs separated by blank lines),
"format" ("docx", "md" or "txt"; default "docx").
"""


async def run(ctx, params):
    title = str(params.get("title", "Ombrel report"))
    content = str(params.get("content", "Written by the write_report skill.\n\nEdit me."))
    path = ctx.create_document(title, content, format=str(params.get("format", "docx")))
    return {"success": True, "path": path, "paragraphs": len([p for p in content.split("\n\n") if p.strip()])}
