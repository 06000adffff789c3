"""Makes the manual page nlfit.1 from docs/cli.md, at build time.

usage: markdown_to_man.py INPUT.md OUTPUT.1 VERSION

Reads the Markdown this project writes (headings, paragraphs, lists, tables,
indented examples, inline code, bold, italics, links) up to the line
'<!-- The manual page (nlfit.1) ends here. -->' and writes roff for man(7),
tables for tbl(1). Standard library only.
"""
import re
import sys

END = "<!-- The manual page (nlfit.1) ends here. -->"


def escape(text):
    text = text.replace("\\", "\\e")
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"`([^`]*)`", lambda m: "\\fB" + m.group(1).replace("-", "\\-") + "\\fR", text)
    text = re.sub(r"\*\*([^*]+)\*\*", r"\\fB\1\\fR", text)
    text = re.sub(r"(?<![\w*])\*([^*\s][^*]*)\*(?![\w*])", r"\\fI\1\\fR", text)
    return text


def line_start(text):
    # A roff request starts with '.' or "'": text starting so is guarded.
    return "\\&" + text if text[:1] in (".", "'") else text


def table(rows):
    cells = [[c.strip().replace("\\|", "|") for c in re.split(r"(?<!\\)\|", r.strip()[1:-1])] for r in rows]
    cells = [r for r in cells if not all(re.fullmatch(r":?-+:?", c) for c in r)]
    width = len(cells[0])
    out = [".TS", "allbox tab(\t);", " ".join(["lb"] * width), " ".join(["l"] * (width - 1) + ["lx"]) + "."]
    for row in cells:
        row = (row + [""] * width)[:width]
        out.append("\t".join("T{\n" + line_start(escape(c)) + "\nT}" for c in row))
    out.append(".TE")
    return out


def convert(lines, version):
    out = ["'\\\" t", f'.TH NLFIT 1 "" "nlfit {version}" "User Commands"']
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.strip() == END:
            break
        if line.startswith("<!--"):
            while "-->" not in lines[i]:
                i += 1
            i += 1
        elif line.startswith("# "):
            out += [".SH NAME", "nlfit \\- fit a curve to a data file by nonlinear least squares",
                    ".SH DESCRIPTION"]
            i += 1
        elif line.startswith("## "):
            out.append(".SH " + escape(line[3:].upper()))
            i += 1
        elif line.startswith("### "):
            out.append(".SS " + escape(line[4:]))
            i += 1
        elif line.startswith("|"):
            rows = []
            while i < len(lines) and lines[i].startswith("|"):
                rows.append(lines[i])
                i += 1
            out += table(rows)
        elif line.startswith("    "):
            out += [".PP", ".RS 4", ".nf"]
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                if lines[i].strip():
                    out.append(line_start(lines[i][4:].replace("\\", "\\e")))
                i += 1
            out += [".fi", ".RE"]
        elif line.startswith("- "):
            text = [line[2:]]
            i += 1
            while i < len(lines) and lines[i].startswith("  ") and lines[i].strip():
                text.append(lines[i].strip())
                i += 1
            out += [".IP \\(bu 2", line_start(escape(" ".join(text)))]
        elif not line.strip():
            i += 1
        else:
            text = []
            while i < len(lines) and lines[i].strip() and not lines[i].startswith(("#", "|", "- ", "    ", "<!--")):
                text.append(lines[i].strip())
                i += 1
            out += [".PP", line_start(escape(" ".join(text)))]
    return "\n".join(out) + "\n"


def main():
    source, target, version = sys.argv[1:4]
    with open(source, encoding="utf-8") as f:
        lines = f.read().split("\n")
    page = convert(lines, version)
    with open(target, "w", encoding="utf-8") as f:
        f.write(page)


if __name__ == "__main__":
    main()
