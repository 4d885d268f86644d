"""MkDocs hooks: the developer pages join the navigation when they exist, and the
copy button of an interactive example copies only what the reader would type."""

import doctest
import html
import pathlib
import re

from mkdocs.exceptions import PluginError

DEVELOPER_PAGES = {"Architecture": "architecture.md"}

# A pycon block as pymdownx.highlight writes it (pygments_lang_class: true).
PYCON_BLOCK = re.compile(r'<div class="language-pycon highlight">(<pre>.*?</pre>)', re.S)
TAG = re.compile(r"<[^>]+>")


def on_config(config):
    docs = pathlib.Path(config["docs_dir"])
    present = [{title: page} for title, page in DEVELOPER_PAGES.items() if (docs / page).is_file()]
    if present and config["nav"] is not None:
        config["nav"].append({"Developers": present})
    return config


def typed_lines(block_text):
    """The statements of an interactive session without prompts or output, as
    doctest reads them (the pages' examples all run as doctests)."""
    examples = doctest.DocTestParser().get_examples(block_text)
    # A blank line after a statement of several lines ends it when pasted at a prompt.
    return "".join(e.source + ("\n" if e.source.count("\n") > 1 else "") for e in examples)


def on_page_content(content, page, **_):
    # The theme's copy button copies an ancestor's data-copy attribute instead
    # of the block's text when there is one.
    def with_copy_text(match):
        text = html.unescape(TAG.sub("", match.group(1)))
        try:
            typed = typed_lines(text)
        except ValueError as error:
            raise PluginError(f"{page.file.src_uri}: a pycon block doctest cannot read: {error}")
        if not typed:
            raise PluginError(f"{page.file.src_uri}: a pycon block without a >>> statement")
        return (f'<div class="language-pycon highlight" data-copy="{html.escape(typed.rstrip())}">'
                + match.group(1))
    return PYCON_BLOCK.sub(with_copy_text, content)
