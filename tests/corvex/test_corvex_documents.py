"""OmbrelContext.create_document: text, Markdown and Word files (real
python-docx), the plain-text fallback without it."""

import sys

import pytest

CONTENT = "First block.\n\n  Second block,\nsame paragraph.  \n\n \n\nThird."


@pytest.fixture
def ctx(corvex):
    return corvex.OmbrelContext("docs")


@pytest.mark.parametrize("title, fmt, name, text", [
    ("Q1: sales/costs", "txt", "Q1_ sales_costs.txt", "Q1: sales/costs\n" + "=" * 15 + "\n\n"),
    ("Café №5 – ok", "md", "Café _5 _ ok.md", "# Café №5 – ok\n\n"),
    ("data", "csv", "data.csv", "data\n====\n\n"),
])
def test_text_layouts_and_generated_names(ctx, records, title, fmt, name, text):
    path = ctx.create_document(title, CONTENT, fmt)
    assert path == str(ctx._output_dir / name)
    assert (ctx._output_dir / name).read_bytes() == (text + CONTENT).encode()
    assert records() == [f"[docs] Created document: {path}"]


def test_word_document_read_back(ctx):
    import docx

    path = ctx.create_document("Quarterly report", CONTENT, "docx")
    assert path == str(ctx._output_dir / "Quarterly report.docx")
    paragraphs = docx.Document(path).paragraphs
    assert [(p.style.name, p.text) for p in paragraphs] == [
        ("Title", "Quarterly report"), ("Normal", "First block."),
        ("Normal", "Second block,\nsame paragraph."), ("Normal", "Third.")]


def test_word_without_python_docx_writes_text(corvex, monkeypatch):
    monkeypatch.setitem(sys.modules, "docx", None)
    ctx = corvex.OmbrelContext("my.docx")  # a directory named like a document keeps its name
    path = ctx.create_document("Report", "body", "docx")
    assert path == str(corvex.OUTPUT_DIR / "my.docx" / "Report.txt")
    assert (corvex.OUTPUT_DIR / "my.docx" / "Report.txt").read_text() == "Report\n======\n\nbody"
    assert ctx.get_logs()[-1].endswith(f"] Created document: {path}")


def test_given_filename_overwrites_and_missing_directory_fails(ctx, tmp_path):
    ctx.create_document("A", "first", filename="notes.txt")
    assert ctx.create_document("B", "second", "md", "notes.txt") == str(ctx._output_dir / "notes.txt")
    assert (ctx._output_dir / "notes.txt").read_text() == "# B\n\nsecond"
    absolute = tmp_path / "elsewhere.md"
    assert ctx.create_document("C", "x", "md", str(absolute)) == str(absolute)
    with pytest.raises(FileNotFoundError):
        ctx.create_document("D", "x", filename="missing/sub.txt")
    with pytest.raises(IsADirectoryError):
        ctx.create_document("E", "x", filename=".")
    with pytest.raises(UnicodeEncodeError):  # and the file keeps its content
        ctx.create_document("F", "\udc80", filename="notes.txt")
    assert (ctx._output_dir / "notes.txt").read_text() == "# B\n\nsecond"


@pytest.mark.parametrize("args, message", [
    ((None, "c"), "title must be str, not NoneType"),
    (("t", "c", "txt", None), "filename must be str, not NoneType"),
])
def test_argument_types(ctx, args, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        ctx.create_document(*args)
