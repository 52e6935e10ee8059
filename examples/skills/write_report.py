"""Writes a document into the skill's output folder.

    run skill write_report {"title": "Weekly notes", "content": "First.\n\nSecond.", "format": "docx"}

Parameters: "title", "content" (paragraphs separated by blank lines),
"format" ("docx", "md" or "txt"; default "docx"). Any other format is
refused: the skill writes documents, nothing else.
"""

FORMATS = ("docx", "md", "txt")


async def run(ctx, params):
    title = str(params.get("title", "Ombrel report"))
    content = str(params.get("content", "Written by the write_report skill.\n\nEdit me."))
    document_format = params.get("format", "docx")
    if document_format not in FORMATS:
        return {"success": False,
                "error": f"format must be one of {', '.join(FORMATS)}, not {document_format!r}"}
    path = ctx.create_document(title, content, format=document_format)
    return {"success": True, "path": path, "paragraphs": len([p for p in content.split("\n\n") if p.strip()])}
