"""Peak memory of the data reader alone, against the size of what it reads.

usage: reader_memory.py TEXT_REPLAY [WORK_DIR]

TEXT_REPLAY is build/fuzz/text_replay, whose "read FILE" mode only reads a
file as the nlfit command does (columns 1 and 2). Each input is read by a
fresh process and its peak resident set size is taken from wait4. The large
inputs are made in WORK_DIR (default: a temporary folder) and removed after.
"""
import os
import subprocess
import sys
import tempfile

MB = 1 << 20


def peak(program, path):
    p = subprocess.Popen([program, "read", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = p.stdout.read().decode(errors="replace").strip()
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_maxrss * 1024, p.returncode, out


def make(path, size, chunk):
    with open(path, "wb") as f:
        for _ in range(size // len(chunk)):
            f.write(chunk)


def main():
    program = sys.argv[1]
    work = sys.argv[2] if len(sys.argv) > 2 else tempfile.mkdtemp()
    inputs = []
    sparse = os.path.join(work, "sparse")
    with open(sparse, "wb") as f:
        f.truncate(256 * MB)
    inputs.append(("256 MB sparse file (NUL bytes)", sparse, 256 * MB))
    inputs.append(("/dev/zero", "/dev/zero", None))
    line = os.path.join(work, "line_of_numbers")
    make(line, 100 * MB, b"1.5,2.25," * (MB // 9 * 1))
    inputs.append(("100 MB line of numbers", line, os.path.getsize(line)))
    letters = os.path.join(work, "line_of_letters")
    make(letters, 100 * MB, b"x" * MB)
    inputs.append(("100 MB line without a delimiter", letters, 100 * MB))
    rows = os.path.join(work, "rows")
    make(rows, 256 * MB, b"".join(b"%.17g,%.17g\n" % (i / 7, i / 3) for i in range(1 << 14)))
    inputs.append(("x,y rows at 17 digits", rows, os.path.getsize(rows)))
    print(f"| Input | Size | Peak RSS | Peak / size | Outcome |\n|---|---:|---:|---:|---|")
    for name, path, size in inputs:
        rss, rc, out = peak(program, path)
        ratio = f"{rss / size:.2f}" if size else "n/a"
        size_text = f"{size / MB:.0f} MB" if size else "endless"
        print(f"| {name} | {size_text} | {rss / MB:.0f} MB | {ratio} | exit {rc}: {out[:70]} |")
    for _, path, _ in inputs:
        if path.startswith(work):
            os.remove(path)


if __name__ == "__main__":
    main()
