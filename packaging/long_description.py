"""The package's long description: README.md with its relative links made absolute.

Relative links work where the README sits beside its files (the repository, a checkout,
the source distribution) and nowhere else: a package index or `pip show` has no docs/
beside it. The build calls `dynamic_metadata` (scikit-build-core's plugin interface) and
gets the README with every relative link and picture pointed at the repository named in
`[project.urls]` (Repository, else Source). Without one, a relative link becomes its text
followed by the path it names in the source tree, and a picture its caption: a dead link
is never published.
"""
import re
from typing import Any, Dict, Mapping, Optional

# A Markdown link or picture whose target has no scheme and is not an anchor in the page.
RELATIVE = re.compile(r"(?P<bang>!?)\[(?P<text>[^\]]*)\]\((?P<target>(?![a-z][a-z0-9+.-]*:|#)[^)\s]+)\)", re.I)


def repository_url(urls: Mapping[str, str]) -> Optional[str]:
    for key in ("Repository", "Source"):
        if urls.get(key):
            return urls[key].rstrip("/")
    return None


def absolute_links(text: str, repository: Optional[str], ref: str = "main") -> str:
    """`text` with each relative link and picture made absolute under `repository` (files
    through its blob/ view, pictures through raw/), or written out without one."""

    def rewrite(match: "re.Match[str]") -> str:
        picture, label, target = match["bang"] == "!", match["text"], match["target"]
        path = target[2:] if target.startswith("./") else target
        if repository:
            view = "raw" if picture else "blob"
            return f"{match['bang']}[{label}]({repository}/{view}/{ref}/{path})"
        if picture:
            return f"*{label}*"
        return label if label.strip("`") == path else f"{label} (`{path}` in the source tree)"

    return RELATIVE.sub(rewrite, text)


def dynamic_metadata(settings: Mapping[str, Any], project: Mapping[str, Any]) -> Dict[str, Any]:
    with open(settings.get("file", "README.md"), encoding="utf-8") as f:
        text = f.read()
    text = absolute_links(text, repository_url(project.get("urls", {})), settings.get("ref", "main"))
    return {"readme": {"content-type": "text/markdown", "text": text}}
