"""The answers' Markdown as HTML for the page: rendered by markdown-it-py,
code highlighted by Pygments, and the whole sanitised by nh3.

The page puts only this module's output into its DOM as HTML. Three layers
keep it safe: markdown-it-py runs with HTML disabled (a ``<script>`` in an
answer is text), the result is cleaned by nh3 with a short allow-list
(links only to http, https and mailto, or relative; no images, so that an
answer cannot make the page load anything), and the page itself treats
everything else as text.
"""
from __future__ import annotations

import re

import nh3
from markdown_it import MarkdownIt
from pygments import highlight
from pygments.formatters import HtmlFormatter
from pygments.lexers import get_lexer_by_name
from pygments.util import ClassNotFound

# The page's limits: a longer text is shown as it is, not rendered.
MAX_TEXT = 200_000
MAX_TEXTS = 500

TAGS = {"p", "br", "hr", "em", "strong", "s", "code", "pre", "blockquote", "ul", "ol", "li", "a",
        "h1", "h2", "h3", "h4", "h5", "h6", "table", "thead", "tbody", "tr", "th", "td", "span"}
ATTRIBUTES = {"a": {"href", "title"}, "code": {"class"}, "span": {"class"}, "ol": {"start"},
              "th": {"style"}, "td": {"style"}}
LANGUAGE_CLASS = re.compile(r"language-[\w+#.-]{1,40}")
TOKEN_CLASS = re.compile(r"[a-z][a-z0-9]{0,3}")  # Pygments' short token classes: k, nf, s2, ...

_formatter = HtmlFormatter(nowrap=True)


def _highlight(code: str, language: str, _attrs: str) -> str:
    """Pygments' spans for a fenced block in a language it knows; "" lets
    markdown-it escape the block as plain text."""
    if not language:
        return ""
    try:
        lexer = get_lexer_by_name(language)
    except ClassNotFound:
        return ""
    return highlight(code, lexer, _formatter)


def _keep_attribute(tag: str, attribute: str, value: str) -> str | None:
    if attribute == "class":
        pattern = LANGUAGE_CLASS if tag == "code" else TOKEN_CLASS
        kept = [name for name in value.split() if pattern.fullmatch(name)]
        return " ".join(kept) or None
    return value


# A line break in an answer stays one: answers (the offline agent's above
# all) are written line by line.
_markdown = (MarkdownIt("commonmark", {"html": False, "breaks": True, "highlight": _highlight})
             .enable(["table", "strikethrough"])
             .disable("image"))  # an image would be fetched by the page: it stays a link


def to_html(text: str) -> str:
    """The sanitised HTML of one Markdown text."""
    html = _markdown.render(text)
    return nh3.clean(html, tags=TAGS, attributes=ATTRIBUTES, attribute_filter=_keep_attribute,
                     url_schemes={"http", "https", "mailto"}, filter_style_properties={"text-align"},
                     link_rel="noopener noreferrer", set_tag_attribute_values={"a": {"target": "_blank"}})


def highlight_css() -> str:
    """Pygments' colours for the page's code blocks, light and dark."""
    light = "\n".join(HtmlFormatter(style="default").get_token_style_defs(".md pre code"))
    dark = "\n".join(HtmlFormatter(style="github-dark").get_token_style_defs(".md pre code"))
    return f"{light}\n@media (prefers-color-scheme: dark) {{\n{dark}\n}}\n"
