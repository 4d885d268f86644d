"""MkDocs hooks: the developer pages join the navigation when they exist."""

import pathlib

DEVELOPER_PAGES = {"Architecture": "architecture.md"}


def on_config(config):
    docs = pathlib.Path(config["docs_dir"])
    present = [{title: page} for title, page in DEVELOPER_PAGES.items() if (docs / page).is_file()]
    if present and config["nav"] is not None:
        config["nav"].append({"Developers": present})
    return config
