"""Reading desktop entries as a desktop does, for the packaging tests."""

# The sizes of the PNG icons beside the SVG one (tools/gen_pictures.cpp draws them).
ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)


def read_entry(path):
    """The keys of the [Desktop Entry] group."""
    keys = {}
    group = None
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith("["):
                group = line
            elif group == "[Desktop Entry]" and "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                keys[key] = value
    return keys


def unescape_string(value):
    """A string value's escapes: \\s \\n \\t \\r \\\\."""
    out, i = [], 0
    while i < len(value):
        c = value[i]
        if c == "\\" and i + 1 < len(value):
            out.append({"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}.get(value[i + 1], value[i + 1]))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def exec_arguments(value):
    """The Exec key split into its arguments, as the desktop entry rules say:
    the string's escapes first, then double-quoted arguments in which \\ " `
    and $ are escaped by a backslash; %% is a percent sign."""
    text = unescape_string(value)
    args, current, quoted, i, started = [], [], False, 0, False
    while i < len(text):
        c = text[i]
        if quoted:
            if c == "\\" and i + 1 < len(text) and text[i + 1] in '"`$\\':
                current.append(text[i + 1])
                i += 1
            elif c == "%" and i + 1 < len(text) and text[i + 1] == "%":
                current.append("%")
                i += 1
            elif c == '"':
                quoted = False
            else:
                current.append(c)
        elif c == '"':
            quoted, started = True, True
        elif c == " ":
            if started:
                args.append("".join(current))
            current, started = [], False
        elif c == "%" and i + 1 < len(text) and text[i + 1] == "%":
            current.append("%")
            started = True
            i += 1
        else:
            current.append(c)
            started = True
        i += 1
    if quoted:
        raise ValueError("unterminated quote in Exec: %r" % value)
    if started:
        args.append("".join(current))
    return args
