#!/usr/bin/env python3
"""kvrc: the resource compiler.

Turns a resource source (text) into a C++ source that defines the module's
resource table `kv_resource_table` (see platform/module/resource.h). CMake
runs it through kv_resource_module / kv_embed_resources
(cmake/KvResources.cmake); by hand:

    python3 kvrc.py SOURCE OUTPUT.cpp [--depfile OUTPUT.d]

SOURCE FORMAT
=============

Free form: line breaks are blanks. Keywords are upper case.

  Comments   '#' or '//' to the end of the line (outside strings).
  Numbers    decimal or 0x hexadecimal; control ids may be negative (-1).
  Strings    "..." in UTF-8. Escapes: \\n \\r \\t \\0 \\\\ \\" \\' and \\xHH
             (exactly two hex digits). A line break inside a string is an
             error. Adjacent strings are joined: "abc" "def" is "abcdef".

Statements:

  LANGUAGE <number>
      Language of the resources that follow (0 = neutral, the default;
      1033 English, 1036 French, 1031 German, 1041 Japanese).

  STRING <id> <string>
      A string-table text.

  TEXT <id> <string>
  TEXT <id> FILE <path>
  BITMAP <id> FILE <path>
      A "TEXT" block: the bytes of the string, or of the file (path relative
      to the folder of the source file, '/' separators). Blocks may hold zero
      bytes ("\\0"). Every block is stored followed by two zero bytes.
      A BITMAP holds the bytes of a .bmp file in the same way.

  DIALOG <id> <x> <y> <cx> <cy> <caption> [STYLE <flags>] [FONT <size> <name>]
  {
      <control>...
  }
      A dialog template; coordinates in dialog units. Controls, each on its
      own or on one line, in tab order:

      EDIT|BUTTON|CHECKBOX|RADIO|LISTBOX|COMBOBOX|STATIC|GROUPBOX
              <id> <text> <x> <y> <cx> <cy> [STYLE <flags>]
      CONTROL <class> <id> <text> <x> <y> <cx> <cy> [STYLE <flags>]
              (any other window class, named by a string)

      <flags> is one or more of the names below, or numbers, joined by '|':
      DISABLED HIDDEN TABSTOP GROUP BORDER VSCROLL HSCROLL DEFAULT AUTO 3STATE
      MULTILINE READONLY PASSWORD NUMBER AUTOHSCROLL WANTRETURN SORT MULTISEL
      DROPDOWN DROPDOWNLIST NOTIFY RIGHT CENTER CHILD SYSMENU
      (they are the KV_STYLE_* values of resource.h).

  MENU <id>
  {
      ITEM <id> <text> [GRAYED|CHECKED...]
      SEPARATOR
      POPUP <text> [GRAYED...] { <items> }
  }
      A menu; popups nest.

A type, id and language may occur only once. Example:

  # English texts of the engine client
  LANGUAGE 1033
  STRING 5614 "Unresolved"
  TEXT 5613 FILE "countries.txt"
  DIALOG 100 0 0 200 80 "Options" STYLE SYSMENU FONT 8 "Helv"
  {
      STATIC   -1   "Name:"  5 5 40 10
      EDIT     1001 ""       50 5 140 12 STYLE TABSTOP|AUTOHSCROLL
      CHECKBOX 1002 "Enable" 5 22 80 10 STYLE AUTO|TABSTOP
      BUTTON   1    "OK"     140 60 50 14 STYLE DEFAULT|TABSTOP
  }
  MENU 10
  {
      POPUP "&File" { ITEM 101 "&Open" SEPARATOR ITEM 102 "E&xit" }
  }
"""

import os
import sys

STRING, TEXT, DIALOG, MENU, BITMAP = 1, 2, 3, 4, 5

STYLE_FLAGS = {
    "DISABLED": 0x00000001, "HIDDEN": 0x00000002, "TABSTOP": 0x00000004,
    "GROUP": 0x00000008, "BORDER": 0x00000010, "VSCROLL": 0x00000020,
    "HSCROLL": 0x00000040, "DEFAULT": 0x00000100, "AUTO": 0x00000200,
    "3STATE": 0x00000400, "MULTILINE": 0x00001000, "READONLY": 0x00002000,
    "PASSWORD": 0x00004000, "NUMBER": 0x00008000, "AUTOHSCROLL": 0x00010000,
    "WANTRETURN": 0x00020000, "SORT": 0x00100000, "MULTISEL": 0x00200000,
    "DROPDOWN": 0x00400000, "DROPDOWNLIST": 0x00800000, "NOTIFY": 0x01000000,
    "RIGHT": 0x04000000, "CENTER": 0x08000000, "CHILD": 0x20000000,
    "SYSMENU": 0x40000000,
}
MENU_FLAGS = {"GRAYED": 0x0004, "CHECKED": 0x0008}
MENU_POPUP, MENU_SEPARATOR = 0x0001, 0x0002
CONTROL_CLASSES = ("EDIT", "BUTTON", "CHECKBOX", "RADIO", "LISTBOX",
                   "COMBOBOX", "STATIC", "GROUPBOX")
ESCAPES = {"n": 10, "r": 13, "t": 9, "0": 0, "\\": 92, '"': 34, "'": 39}


class RcError(Exception):
    pass


class Token:
    def __init__(self, kind, value, line):
        self.kind, self.value, self.line = kind, value, line


def tokenize(text, where):
    tokens = []
    i, line, n = 0, 1, len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
        elif c in " \t\r\f\v":
            i += 1
        elif c == "#" or text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
        elif c == '"':
            i += 1
            data = bytearray()
            while True:
                if i >= n or text[i] == "\n":
                    raise RcError("%s:%d: unterminated string" % (where, line))
                c = text[i]
                if c == '"':
                    i += 1
                    break
                if c == "\\":
                    if i + 1 >= n:
                        raise RcError("%s:%d: unterminated string" % (where, line))
                    e = text[i + 1]
                    if e in ESCAPES:
                        data.append(ESCAPES[e])
                        i += 2
                    elif e == "x":
                        digits = text[i + 2:i + 4]
                        if len(digits) != 2 or any(d not in "0123456789abcdefABCDEF" for d in digits):
                            raise RcError("%s:%d: \\x needs two hex digits" % (where, line))
                        data.append(int(digits, 16))
                        i += 4
                    else:
                        raise RcError("%s:%d: unknown escape \\%s" % (where, line, e))
                else:
                    data.extend(c.encode("utf-8"))
                    i += 1
            tokens.append(Token("str", bytes(data), line))
        elif c.isdigit() or (c == "-" and i + 1 < n and text[i + 1].isdigit()):
            j = i + 1
            while j < n and (text[j].isalnum() or text[j] == "_"):
                j += 1
            word = text[i:j]
            try:
                value = int(word, 16) if word.lstrip("-")[:2].lower() == "0x" else int(word, 10)
            except ValueError:
                # Flag names may start with a digit (3STATE).
                if word in STYLE_FLAGS:
                    tokens.append(Token("id", word, line))
                    i = j
                    continue
                raise RcError("%s:%d: bad number %r" % (where, line, word))
            tokens.append(Token("num", value, line))
            i = j
        elif c.isalpha() or c == "_":
            j = i + 1
            while j < n and (text[j].isalnum() or text[j] == "_"):
                j += 1
            tokens.append(Token("id", text[i:j], line))
            i = j
        elif c in "{}|":
            tokens.append(Token(c, c, line))
            i += 1
        else:
            raise RcError("%s:%d: unexpected character %r" % (where, line, c))
    return tokens


class Parser:
    def __init__(self, tokens, where, folder):
        self.tokens, self.pos, self.where, self.folder = tokens, 0, where, folder
        self.language = 0
        self.entries = {}  # (type, id, language) -> payload
        self.files = []

    def error(self, message, token=None):
        token = token or self.peek()
        line = token.line if token else (self.tokens[-1].line if self.tokens else 1)
        return RcError("%s:%d: %s" % (self.where, line, message))

    def peek(self):
        return self.tokens[self.pos] if self.pos < len(self.tokens) else None

    def take(self, kind=None, value=None, what=None):
        token = self.peek()
        if token is None:
            raise self.error("unexpected end of file, expected %s" % (what or value or kind))
        if (kind and token.kind != kind) or (value is not None and token.value != value):
            raise self.error("expected %s, found %r" % (what or value or kind, token.value), token)
        self.pos += 1
        return token

    def at(self, kind, value=None):
        token = self.peek()
        return token is not None and token.kind == kind and (value is None or token.value == value)

    def number(self, what, low, high):
        token = self.take("num", what=what)
        if not low <= token.value <= high:
            raise self.error("%s %d out of range %d..%d" % (what, token.value, low, high), token)
        return token.value

    def strings(self, what):
        data = self.take("str", what=what).value
        while self.at("str"):
            data += self.take("str").value
        return data

    def flags(self, table, numbers):
        value = 0
        while True:
            token = self.peek()
            if token is not None and token.kind == "id" and token.value in table:
                value |= table[token.value]
                self.pos += 1
            elif numbers and token is not None and token.kind == "num":
                if not 0 <= token.value <= 0xFFFFFFFF:
                    raise self.error("flag value out of range", token)
                value |= token.value
                self.pos += 1
            else:
                raise self.error("expected a flag name")
            if not self.at("|"):
                return value
            self.pos += 1

    def add(self, rtype, rid, payload, token):
        key = (rtype, rid, self.language)
        if key in self.entries:
            raise self.error("resource %d of this type and language defined twice" % rid, token)
        self.entries[key] = payload

    def parse(self):
        while self.peek() is not None:
            token = self.take("id", what="a statement keyword")
            word = token.value
            if word == "LANGUAGE":
                self.language = self.number("language", 0, 0xFFFF)
            elif word == "STRING":
                rid = self.number("string id", 0, 0xFFFFFFFF)
                self.add(STRING, rid, self.strings("string text"), token)
            elif word == "TEXT":
                rid = self.number("text id", 0, 0xFFFFFFFF)
                if self.at("id", "FILE"):
                    self.pos += 1
                    name_token = self.take("str", what="file name")
                    path = os.path.join(self.folder, name_token.value.decode("utf-8"))
                    try:
                        with open(path, "rb") as f:
                            data = f.read()
                    except OSError as e:
                        raise self.error("cannot read %s: %s" % (path, e.strerror), name_token)
                    self.files.append(os.path.abspath(path))
                else:
                    data = self.strings("text block")
                self.add(TEXT, rid, data, token)
            elif word == "BITMAP":
                rid = self.number("bitmap id", 0, 0xFFFFFFFF)
                if not self.at("id", "FILE"):
                    raise self.error("BITMAP needs FILE and a file name", token)
                self.pos += 1
                name_token = self.take("str", what="file name")
                path = os.path.join(self.folder, name_token.value.decode("utf-8"))
                try:
                    with open(path, "rb") as f:
                        data = f.read()
                except OSError as e:
                    raise self.error("cannot read %s: %s" % (path, e.strerror), name_token)
                self.files.append(os.path.abspath(path))
                self.add(BITMAP, rid, data, token)
            elif word == "DIALOG":
                self.add(DIALOG, *self.dialog(), token)
            elif word == "MENU":
                rid = self.number("menu id", 0, 0xFFFFFFFF)
                self.add(MENU, rid, self.menu_items(), token)
            else:
                raise self.error("unknown statement %s" % word, token)
        return self.entries

    def rect(self):
        return tuple(self.number("coordinate", -32768, 32767) for _ in range(4))

    def dialog(self):
        rid = self.number("dialog id", 0, 0xFFFFFFFF)
        rect = self.rect()
        caption = self.strings("dialog caption")
        style, font_size, font_name = 0, 0, b""
        while self.at("id", "STYLE") or self.at("id", "FONT"):
            if self.take("id").value == "STYLE":
                style = self.flags(STYLE_FLAGS, True)
            else:
                font_size = self.number("font size", 0, 0xFFFF)
                font_name = self.strings("font name")
        self.take("{")
        controls = []
        while not self.at("}"):
            token = self.take("id", what="a control keyword or '}'")
            if token.value == "CONTROL":
                cls = self.take("str", what="class name").value
            elif token.value in CONTROL_CLASSES:
                cls = token.value.encode()
            else:
                raise self.error("unknown control %s" % token.value, token)
            cid = self.number("control id", -0x80000000, 0x7FFFFFFF)
            text = self.strings("control text")
            crect = self.rect()
            cstyle = 0
            if self.at("id", "STYLE"):
                self.pos += 1
                cstyle = self.flags(STYLE_FLAGS, True)
            controls.append((cid, cls, text, cstyle, crect))
        self.take("}")
        return rid, (caption, style, rect, font_name, font_size, controls)

    def menu_items(self):
        self.take("{")
        items = []
        while not self.at("}"):
            token = self.take("id", what="ITEM, SEPARATOR, POPUP or '}'")
            if token.value == "ITEM":
                iid = self.number("menu item id", 0, 0xFFFFFFFF)
                text = self.strings("menu item text")
                flags = self.flags(MENU_FLAGS, False) if self.at("id") and self.peek().value in MENU_FLAGS else 0
                items.append((iid, text, flags, None))
            elif token.value == "SEPARATOR":
                items.append((0, b"", MENU_SEPARATOR, None))
            elif token.value == "POPUP":
                text = self.strings("popup text")
                flags = self.flags(MENU_FLAGS, False) if self.at("id") and self.peek().value in MENU_FLAGS else 0
                items.append((0, text, flags | MENU_POPUP, self.menu_items()))
            else:
                raise self.error("unknown menu entry %s" % token.value, token)
        self.take("}")
        return items


def c_literal(data, extra_nul=False):
    """A C string literal for the bytes, split into readable pieces."""
    pieces, current = [], []
    for b in data:
        if 32 <= b < 127 and b not in (34, 92, 63):
            current.append(chr(b))
        else:
            current.append("\\%03o" % b)
        if b == 10 or len(current) >= 96:
            pieces.append("".join(current))
            current = []
    if extra_nul:
        current.append("\\000")
    if current or not pieces:
        pieces.append("".join(current))
    return "\n    ".join('"%s"' % p for p in pieces)


class Emitter:
    def __init__(self):
        self.lines = []
        self.count = 0

    def name(self, prefix):
        self.count += 1
        return "%s%d" % (prefix, self.count)

    def menu(self, items):
        """Emits the item arrays bottom up; returns the name of this level."""
        if not items:
            return "nullptr"
        children = []
        for iid, text, flags, sub in items:
            children.append(self.menu(sub) if sub else None)
        name = self.name("kMenuItems")
        self.lines.append("const KvMenuItem %s[] = {" % name)
        for (iid, text, flags, sub), child in zip(items, children):
            self.lines.append("    {%du, %s, 0x%xu, %du, %s}," % (
                iid, c_literal(text), flags, len(sub) if sub else 0, child or "nullptr"))
        self.lines.append("};")
        return name


def generate(entries, source_name):
    out = Emitter()
    table = []
    for key in sorted(entries):
        rtype, rid, lang = key
        payload = entries[key]
        if rtype in (STRING, TEXT, BITMAP):
            name = out.name("kData")
            out.lines.append("const char %s[] = %s;" % (name, c_literal(payload, rtype != STRING)))
            table.append((rtype, rid, lang, len(payload), name))
        elif rtype == DIALOG:
            caption, style, rect, font_name, font_size, controls = payload
            cname = "nullptr"
            if controls:
                cname = out.name("kControls")
                out.lines.append("const KvDialogControl %s[] = {" % cname)
                for cid, cls, text, cstyle, (x, y, cx, cy) in controls:
                    out.lines.append("    {%d, %s, %s, 0x%xu, %d, %d, %d, %d}," % (
                        cid, c_literal(cls), c_literal(text), cstyle, x, y, cx, cy))
                out.lines.append("};")
            name = out.name("kDialog")
            x, y, cx, cy = rect
            out.lines.append("const KvDialogTemplate %s = {%du, %s, 0x%xu, %d, %d, %d, %d, %s, %du, %du, %s};" % (
                name, rid, c_literal(caption), style, x, y, cx, cy, c_literal(font_name), font_size,
                len(controls), cname))
            table.append((rtype, rid, lang, 0, "&" + name))
        else:
            items_name = out.menu(payload)
            name = out.name("kMenu")
            out.lines.append("const KvMenuTemplate %s = {%du, %du, %s};" % (
                name, rid, len(payload), items_name))
            table.append((rtype, rid, lang, 0, "&" + name))

    text = ["// Resource table generated by kvrc.py from %s. Do not edit." % source_name,
            '#include "platform/module/resource.h"', "", "namespace {", ""]
    text += out.lines
    if table:
        text.append("const KvResourceEntry kEntries[] = {")
        for rtype, rid, lang, size, ref in table:
            text.append("    {%du, %du, %du, %du, %s}," % (rtype, rid, lang, size, ref))
        text.append("};")
    text += ["", "}  // namespace", "",
             'extern "C" KV_MODULE_TABLE const KvResourceTable kv_resource_table = {',
             "    KV_RESOURCE_TABLE_MAGIC, KV_RESOURCE_TABLE_VERSION, %du, %s};" % (
                 len(table), "kEntries" if table else "nullptr"), ""]
    return "\n".join(text)


def write_if_changed(path, text):
    try:
        with open(path, "r", encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main(argv):
    args = argv[1:]
    depfile = None
    if "--depfile" in args:
        i = args.index("--depfile")
        if i + 1 >= len(args):
            sys.stderr.write("kvrc: --depfile needs a path\n")
            return 2
        depfile = args[i + 1]
        del args[i:i + 2]
    if len(args) != 2:
        sys.stderr.write("usage: kvrc.py SOURCE OUTPUT.cpp [--depfile OUTPUT.d]\n")
        return 2
    source, output = args
    try:
        with open(source, "r", encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        sys.stderr.write("kvrc: cannot read %s: %s\n" % (source, e))
        return 1
    try:
        parser = Parser(tokenize(text, source), source, os.path.dirname(os.path.abspath(source)))
        entries = parser.parse()
    except RcError as e:
        sys.stderr.write("kvrc: %s\n" % e)
        return 1
    write_if_changed(output, generate(entries, os.path.basename(source)))
    if depfile:
        def esc(p):
            return p.replace(" ", "\\ ")
        deps = [os.path.abspath(source)] + parser.files
        write_if_changed(depfile, "%s: %s\n" % (esc(output), " ".join(esc(p) for p in deps)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
