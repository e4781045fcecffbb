#!/usr/bin/python3
"""Checks docs/: every picture the guide shows exists and is a PNG, every
picture in images/ is shown, every one is made by screenshots.sh (so that it
can be renewed), and the script parses. Prints each fault; exits 1 on any."""
import re
import subprocess
import sys
from pathlib import Path

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def linked_images(guide_text):
    # Markdown images and HTML <img> tags; links to other pages are not pictures.
    links = re.findall(r"!\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)", guide_text)
    links += re.findall(r"<img\s[^>]*src=\"([^\"]+)\"", guide_text)
    return links


def scripted_images(script_text):
    # shot WINDOW NAME and shot_area NAME X Y W H, as the script calls them.
    names = re.findall(r"^\s*shot\s+\S+\s+([\w.-]+)\s*$", script_text, re.M)
    names += re.findall(r"^\s*shot_area\s+([\w.-]+)\s", script_text, re.M)
    return {name + ".png" for name in names}


def check(docs):
    faults = []
    guide = docs / "guide.md"
    script = docs / "screenshots.sh"
    images = docs / "images"
    for path in (guide, script, images):
        if not path.exists():
            return [f"{path} is missing"]

    linked = set()
    for link in linked_images(guide.read_text(encoding="utf-8")):
        target = (docs / link).resolve()
        if target.parent != images.resolve():
            faults.append(f"guide.md: picture {link} is not in images/")
            continue
        linked.add(target.name)
        if not target.is_file():
            faults.append(f"guide.md: picture {link} does not exist")
        elif target.read_bytes()[:8] != PNG_MAGIC:
            faults.append(f"guide.md: picture {link} is not a PNG file")

    present = {p.name for p in images.iterdir() if p.is_file()}
    for name in sorted(present - linked):
        faults.append(f"images/{name} is not shown in guide.md")

    made = scripted_images(script.read_text(encoding="utf-8"))
    for name in sorted(present - made):
        faults.append(f"images/{name} is not made by screenshots.sh")
    for name in sorted(made - present):
        faults.append(f"screenshots.sh makes {name}, which images/ lacks")

    syntax = subprocess.run(["bash", "-n", str(script)], capture_output=True, text=True)
    if syntax.returncode != 0:
        faults.append("screenshots.sh does not parse: " + syntax.stderr.strip())
    return faults


def main():
    if len(sys.argv) != 2:
        print("usage: check_guide.py DOCS_DIR", file=sys.stderr)
        return 2
    faults = check(Path(sys.argv[1]))
    for fault in faults:
        print(" ! " + fault)
    if not faults:
        print(" - guide, pictures and screenshot script agree")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
