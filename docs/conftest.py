"""The pages' examples run as doctests: python -m pytest --doctest-glob='*.md' docs

An exception's notes (add_note) are printed from Python 3.11 on, so on 3.10 an
example whose expected exception has lines after its message, the notes, is
skipped; the other examples of the page still run.
"""

import doctest
import sys

NOTES_PRINTED = sys.version_info >= (3, 11)
skipped = []


def has_notes(example):
    # exc_msg is the expected text after "ExceptionType: ", ending in a newline.
    return example.exc_msg is not None and example.exc_msg.count("\n") > 1


def pytest_collection_modifyitems(items):
    if NOTES_PRINTED:
        return
    for item in items:
        test = getattr(item, "dtest", None)  # a doctest item
        for example in test.examples if test is not None else ():
            if has_notes(example):
                example.options[doctest.SKIP] = True
                skipped.append(f"{test.name}:{test.lineno + example.lineno + 1}")


def pytest_terminal_summary(terminalreporter):
    if skipped:
        terminalreporter.write_line(
            f"Python {sys.version_info.major}.{sys.version_info.minor} prints no exception notes: "
            f"skipped {len(skipped)} examples that show them ({', '.join(skipped)})")
