#!/usr/bin/env python3
"""Prints, one per line, the requirements of this project and of the named extras, as
pyproject.toml lists them; self-references such as quarn-chess[data] are expanded in place.

    tools/requirements.py [EXTRA...]

make installs these the ordinary way (each sdist built in pip's isolated environment), apart from
the project itself, which it builds without isolation from the venv's scikit-build-core.
"""

import re
import sys
import tomllib
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parents[1] / "pyproject.toml"


def main(extras: list[str]) -> int:
    project = tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))["project"]
    name = re.sub(r"[-_.]+", "-", project["name"]).lower()
    optional = project.get("optional-dependencies", {})
    self_reference = re.compile(rf"^{re.escape(name)}\s*\[([^\]]*)\]\s*$", re.IGNORECASE)
    requirements: list[str] = []
    seen: set[str] = set()

    def add(extra: str) -> None:
        if extra in seen:
            return
        if extra not in optional:
            raise SystemExit(f"requirements: pyproject.toml has no extra {extra!r}")
        seen.add(extra)
        for requirement in optional[extra]:
            nested = self_reference.match(re.sub(r"[-_.]+", "-", requirement))
            if nested:
                for inner in nested.group(1).split(","):
                    add(inner.strip())
            elif requirement not in requirements:
                requirements.append(requirement)

    requirements.extend(project.get("dependencies", []))
    for extra in extras:
        add(extra)
    print("\n".join(requirements))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
