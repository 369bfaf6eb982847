# The role's judgement of its variables, and the way back from a warning of
# marquell-check to the inventory entry it is about. Both run on the
# controller: the checks before any host is touched.
#
# YAML reads an unquoted 14:00 as 840, 3.50 as 3.5, yes as true, 0403 as 259
# and an empty item as null before the role sees them; a text that arrives
# as anything but a string has lost what the operator wrote, so it is
# refused, never turned back into a text.

import difflib
import os
import re

import yaml

DISPLAY_KEYS = ("port", "rows", "contrast", "attention")
ADAPTER_KEYS = ("vendor", "product", "serial", "interface", "port")
BOARD_UART_KEYS = ("kernel", "port")
RATES = (1200, 2400, 4800, 9600, 19200)
ARCHS = ("", "amd64", "arm64", "armhf")

# udev compares ATTRS values as shell-style patterns, and a double quote or a
# backslash would end or bend the value: a serial with any of these cannot be
# matched as written.
SERIAL_UNSAFE = re.compile(r'[^\x21-\x7e]|["\\*?\[\]|]')
HEX4 = re.compile(r"^[0-9A-Fa-f]{4}$")
HEX2 = re.compile(r"^[0-9A-Fa-f]{2}$")
# A board UART by the name its kernel gives it: ttyAMA0, ttyS1, ttymxc0 ...
# USB serial ports are not among them: their numbers change from one boot to
# the next, which is why an adapter is known by its serial number.
KERNEL_NAME = re.compile(r"^tty[A-Za-z]+[0-9]+$")
USB_KERNEL_NAME = re.compile(r"^tty(USB|ACM)[0-9]+$")


def _as_read(value):
    """What YAML made of an unquoted value, in the words of the message."""
    if value is None:
        return "null (nothing)"
    if isinstance(value, bool):
        return "the boolean " + ("true" if value else "false")
    if isinstance(value, (int, float)):
        return "the number %s" % value
    if isinstance(value, (list, tuple)):
        return "a list"
    if isinstance(value, dict):
        return "a mapping"
    if isinstance(value, str):
        return "the text '%s'" % value
    return "the %s %s" % (type(value).__name__, value)


def _not_text(value):
    return "YAML read %s, not text: quote it" % _as_read(value)


def _number(value, low, high):
    """The value as an int when it is one (or its decimal digits), within
    low..high; None otherwise. A boolean is not a number, though Python
    counts it as one."""
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        number = value
    elif isinstance(value, str) and re.fullmatch(r"[0-9]+", value):
        number = int(value)
    else:
        return None
    return number if low <= number <= high else None


_composed = {}


def _written(raw):
    """The texts of the unquoted (plain) values of an entry of a list, as
    its YAML file has them: a mapping gives {key: text}, a list [text or
    None]. YAML turns a plain 010 into 8 and 1:00 into 60 and leaves no
    trace in the number; the entry as Ansible loaded it still knows the
    file, line and column it came from (ansible_pos), so the text is read
    there again. Empty where that is not known (an entry that is no YAML
    mapping or list of a file, one made by a template, a vault)."""
    pos = getattr(raw, "ansible_pos", None)
    if not (isinstance(pos, tuple) and len(pos) == 3 and isinstance(pos[0], str)):
        return {} if isinstance(raw, dict) else []
    path, line, column = pos
    if path not in _composed:
        try:
            with open(path, encoding="utf-8") as f:
                _composed[path] = yaml.compose(f, Loader=yaml.SafeLoader)
        except (OSError, UnicodeError, yaml.YAMLError):
            _composed[path] = None
    todo = [_composed[path]] if _composed[path] is not None else []
    while todo:
        node = todo.pop()
        if isinstance(node, yaml.ScalarNode):
            continue
        mark = node.start_mark
        if (mark.line + 1, mark.column + 1) == (line, column):
            if isinstance(node, yaml.MappingNode) and isinstance(raw, dict):
                return {k.value: v.value for k, v in node.value
                        if isinstance(k, yaml.ScalarNode) and isinstance(v, yaml.ScalarNode) and v.style is None}
            if isinstance(node, yaml.SequenceNode) and isinstance(raw, list):
                return [v.value if isinstance(v, yaml.ScalarNode) and v.style is None else None for v in node.value]
        if isinstance(node, yaml.MappingNode):
            todo.extend(v for pair in node.value for v in pair)
        else:
            todo.extend(node.value)
    return {} if isinstance(raw, dict) else []


def _read_otherwise(value, text):
    """Whether YAML made a number other than the one written (010 is 8,
    0x28 is 40, 1:00 is 60): the file would name another display."""
    return isinstance(value, int) and not isinstance(value, bool) and text is not None and text != str(value)


def _shown(value):
    if isinstance(value, str):
        return "'%s'" % value
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


class Checker:
    def __init__(self, v, host, raw):
        self.v = v
        self.host = host
        self.raw = raw
        self.problems = []

    def written(self, name, i=None):
        """The texts of the plain values of variable name (or its entry i)
        as the YAML file has them (_written)."""
        raw = self.raw.get(name) if isinstance(self.raw, dict) else None
        if i is not None:
            raw = raw[i] if isinstance(raw, list) and i < len(raw) else None
        return _written(raw)

    def check_as_written(self, where, value, text):
        """False, and said, when YAML made value another number than text."""
        if not _read_otherwise(value, text):
            return True
        self.say(where, "YAML read %s as the number %d: quote it" % (text, value))
        return False

    def say(self, where, what):
        self.problems.append("marquell: host %s: %s: %s" % (self.host, where, what))

    def check_list(self, name):
        value = self.v.get(name)
        if not isinstance(value, list):
            self.say(name, "must be a list (now %s)" % _as_read(value))
            return []
        return value

    def check_boolean(self, name, none_too=False):
        value = self.v.get(name)
        if isinstance(value, bool) or (none_too and value is None):
            return
        self.say(name, "must be true or false%s (now %s)" % (", or null" if none_too else "", _shown(value)))

    def check_number(self, name, low, high):
        number = _number(self.v.get(name), low, high)
        if number is None:
            self.say(name, "must be a number from %d to %d (now %s)" % (low, high, _shown(self.v.get(name))))
        return number

    def check_entry(self, where, entry, keys, noun):
        """Whether an entry of a list is a mapping; each key it has beyond
        keys is named, with the likeliest meant one."""
        if not isinstance(entry, dict):
            self.say(where, "must be a mapping of %s (now %s)" % (", ".join(keys), _as_read(entry)))
            return False
        for key in entry:
            if key not in keys:
                near = difflib.get_close_matches(str(key), keys, n=1)
                self.say(where, "'%s' is not a key of %s (%s)%s"
                         % (key, noun, ", ".join(keys), ": did you mean %s?" % near[0] if near else ""))
        return True

    def check_text(self, where, key, value):
        """A text the role writes as it stands; False when it is not one."""
        if isinstance(value, str):
            return True
        self.say("%s, %s" % (where, key), _not_text(value))
        return False

    # --- the variables of the play --------------------------------------
    def check_variables(self, names):
        """Each marquell_ variable of the host that is not one of the role's
        (the variables checks.yml gives; its own facts begin "marquell__")."""
        for name in sorted(names):
            if not name.startswith("marquell_") or name.startswith("marquell__") or name in self.v:
                continue
            near = difflib.get_close_matches(name, list(self.v), n=1)
            self.say(name, "not a variable of the role%s" % (": did you mean %s?" % near[0] if near else ""))

    def check_present(self):
        v = self.v
        deb_dir = v.get("marquell_deb_dir")
        if not (isinstance(deb_dir, str) and deb_dir and os.path.isdir(deb_dir)):
            self.say("marquell_deb_dir", "%s is not a folder on the controller" % _shown(deb_dir))
        if not isinstance(v.get("marquell_version"), str):
            self.say("marquell_version", _not_text(v.get("marquell_version")))
        if v.get("marquell_arch") not in ARCHS:
            self.say("marquell_arch", "%s is not amd64, arm64 or armhf (or empty: the host's own)"
                     % _shown(v.get("marquell_arch")))
        for name in ("marquell_pad_rows", "marquell_refuse_warnings"):
            self.check_boolean(name)
        self.check_boolean("marquell_repaint_timer", none_too=True)
        port_max = self.check_number("marquell_port_max", 0, 255)
        port_min = self.check_number("marquell_adapter_port_min", 0, 255)
        width = self.check_number("marquell_width", 1, 80)
        if None in (port_max, port_min, width):
            return
        self.port_min, self.port_max, self.width = port_min, port_max, width

        links, kernels = {}, {}  # port, UART -> the entry that links it
        for i, uart in enumerate(self.check_list("marquell_board_uarts")):
            self.check_board_uart(i, uart, links, kernels)
        adapters = self.check_list("marquell_adapters")
        seen = {}
        for i, adapter in enumerate(adapters):
            self.check_adapter(i, adapter, links, seen)
        elsewhere = self.check_list("marquell_ports_linked_elsewhere")
        texts = self.written("marquell_ports_linked_elsewhere")
        for i, port in enumerate(elsewhere):
            where = "marquell_ports_linked_elsewhere[%d]" % i
            if not self.check_as_written(where, port, texts[i] if i < len(texts) else None):
                continue
            n = _number(port, port_min, port_max)
            if n is None:
                self.say(where, "%s is not a port from %d to %d" % (_shown(port), port_min, port_max))
            elif n in links:
                self.say(where, "port %d is linked by %s already: two links of one name" % (n, links[n]))
            else:
                links[n] = where

        ini_src = v.get("marquell_ini_src")
        displays = self.check_list("marquell_displays")
        if not isinstance(ini_src, str):
            self.say("marquell_ini_src", _not_text(ini_src))
        elif ini_src:
            if not os.path.isfile(ini_src):
                self.say("marquell_ini_src", "'%s' is not a file on the controller" % ini_src)
            if displays:
                self.say("marquell_ini_src", "and marquell_displays are both set: give the display "
                         "list one way, the file or the displays")
            # The file's own displays are marquell-check's to judge on the host.
            return
        elif not displays:
            self.say("marquell_displays", "names no display, and there is no marquell_ini_src")
        if _number(v.get("marquell_rate"), 0, 10**6) not in RATES:
            self.say("marquell_rate", "%s is not 1200, 2400, 4800, 9600 or 19200" % _shown(v.get("marquell_rate")))
        used = set()
        for i, display in enumerate(displays):
            port = self.check_display(i, display, links)
            if port is not None:
                used.add(port)
        for port, name in sorted(links.items()):
            if port not in used and not name.startswith("marquell_ports_linked_elsewhere"):
                self.say(name, "links port %d, which no display of marquell_displays uses" % port)

    def check_board_uart(self, i, uart, links, kernels):
        where = "board UART %d (marquell_board_uarts[%d])" % (i + 1, i)
        if not self.check_entry(where, uart, BOARD_UART_KEYS, "a board UART"):
            return
        kernel = uart.get("kernel")
        if "kernel" not in uart:
            self.say(where, "has no kernel: the UART's name, as ls /sys/class/tty shows it (ttyAMA0)")
        elif self.check_text(where, "kernel", kernel):
            if USB_KERNEL_NAME.match(kernel):
                self.say(where + ", kernel", "%s is a USB serial port, whose number changes: list it in "
                         "marquell_adapters by its serial number" % kernel)
            elif not KERNEL_NAME.match(kernel):
                self.say(where + ", kernel", "'%s' is not a UART's name such as ttyAMA0" % kernel)
            elif kernel in kernels:
                self.say(where + ", kernel", "%s has a link from %s already" % (kernel, kernels[kernel]))
            else:
                kernels[kernel] = where
        self.check_link_port(where, uart, links, self.written("marquell_board_uarts", i))

    def check_adapter(self, i, adapter, links, seen):
        where = "adapter %d (marquell_adapters[%d])" % (i + 1, i)
        if not self.check_entry(where, adapter, ADAPTER_KEYS, "an adapter"):
            return
        ok = True
        for key, pattern, want in (("vendor", HEX4, "four hex digits, ID_VENDOR_ID as udevadm info shows it"),
                                   ("product", HEX4, "four hex digits, ID_MODEL_ID as udevadm info shows it"),
                                   ("interface", HEX2, "two hex digits, ID_USB_INTERFACE_NUM (\"00\", \"01\")")):
            if key not in adapter:
                if key != "interface":
                    self.say(where, "has no %s: %s" % (key, want))
                    ok = False
            elif not self.check_text(where, key, adapter[key]):
                ok = False
            elif not pattern.match(adapter[key]):
                self.say(where + ", " + key, "'%s' is not %s" % (adapter[key], want))
                ok = False
        serial = adapter.get("serial")
        if "serial" not in adapter:
            self.say(where, "has no serial: ID_SERIAL_SHORT as udevadm info shows it")
            ok = False
        elif not self.check_text(where, "serial", serial):
            ok = False
        elif not serial or SERIAL_UNSAFE.search(serial):
            self.say(where + ", serial", "'%s' cannot be matched by udev as written: a serial number is "
                     "printable ASCII without blanks, \" \\ * ? [ ] or |" % serial)
            ok = False
        if ok:
            key = (adapter["vendor"].lower(), adapter["product"].lower(), serial,
                   adapter.get("interface", "").lower())
            if key in seen:
                self.say(where, "is the same adapter as adapter %d: the later line would take its link" % seen[key])
            seen.setdefault(key, i + 1)
        self.check_link_port(where, adapter, links, self.written("marquell_adapters", i))

    def check_link_port(self, where, entry, links, texts):
        port = entry.get("port")
        if "port" not in entry:
            self.say(where, "has no port: the n of its link /dev/ttyS<n>")
            return
        if not self.check_as_written(where + ", port", port, texts.get("port")):
            return
        n = _number(port, self.port_min, self.port_max)
        if n is None:
            self.say(where + ", port", "%s is not a number from %d to %d: the kernel's own serial ports "
                     "end below %d, and a link must not take one's name"
                     % (_shown(port), self.port_min, self.port_max, self.port_min))
        elif n in links:
            self.say(where + ", port", "%d is taken by %s already" % (n, links[n]))
        else:
            links[n] = where

    def check_display(self, i, display, links):
        """Returns the display's port when it is a good one."""
        where = "display %d (marquell_displays[%d])" % (i + 1, i)
        if not self.check_entry(where, display, DISPLAY_KEYS, "a display"):
            return None
        port = None
        texts = self.written("marquell_displays", i)
        if "port" not in display:
            self.say(where, "has no port: n of /dev/ttyS<n>, as lcd=<n> in the file")
        elif self.check_as_written(where + ", port", display["port"], texts.get("port")):
            port = _number(display["port"], 0, self.port_max)
            if port is None:
                self.say(where + ", port", "%s is not a number from 0 to %d" % (_shown(display["port"]), self.port_max))
            elif port >= self.port_min and port not in links:
                self.say(where + ", port", "no adapter of marquell_adapters and no UART of marquell_board_uarts "
                         "is linked as /dev/ttyS%d: add the one it hangs on, or list %d in "
                         "marquell_ports_linked_elsewhere if a rule of your own links it" % (port, port))
        rows = display.get("rows", [])
        if not isinstance(rows, list):
            self.say(where + ", rows", "must be a list of at most four texts (now %s)" % _as_read(rows))
            rows = []
        elif len(rows) > 4:
            self.say(where + ", rows", "has %d rows; a display has four" % len(rows))
        for n, row in enumerate(rows):
            key = "rows[%d]" % n
            if not self.check_text(where, key, row):
                continue
            if '"' in row:
                self.say(where + ", " + key, "'%s' has a double quote, which would end the row there: "
                         "the file has no way to write one" % row)
            if "\n" in row or "\r" in row:
                self.say(where + ", " + key, "has a line break: a row is one line of the display")
            if len(row) > self.width:
                self.say(where + ", " + key, "'%s' is %d characters, more than marquell_width %d"
                         % (row, len(row), self.width))
        contrast = display.get("contrast")
        if "contrast" in display and self.check_as_written(where + ", contrast", contrast, texts.get("contrast")) \
                and _number(contrast, 0, 255) is None:
            self.say(where + ", contrast", "%s is not a level from 0 to 255" % _shown(display["contrast"]))
        attention = display.get("attention", False)
        if not isinstance(attention, bool):
            self.say(where + ", attention", "must be true or false (now %s)" % _shown(attention))
        elif attention and "contrast" in display:
            self.say(where, "has contrast and attention: true, and a display takes one command: keep one")
        return port


def marquell_problems(v, host, names, raw=None):
    """Every problem of one host's variables, one message each; v maps each
    variable an operator may set to its value, names are the host's
    variables, raw (vars) has them as loaded, before any template was
    rendered."""
    checker = Checker(v, host, raw)
    checker.check_variables(names)
    state = v.get("marquell_state")
    if state not in ("present", "absent"):
        checker.say("marquell_state", "%s is not present or absent" % _shown(state))
    elif state == "absent":
        checker.check_boolean("marquell_remove_display_list")
    else:
        checker.check_present()
    return checker.problems


REMARK = re.compile(r"^.+?:([0-9]+):([0-9]+): (warning|note): (.*)$")


def _written_places(text):
    """For each line of a display list the role wrote, what it holds, in the
    inventory's terms."""
    places, display, port = [], 0, ""
    for line in text.split("\n"):
        if line.startswith("lcd="):
            display += 1
            port = line[4:]
        base = "display %d (marquell_displays[%d], port %s)" % (display, display - 1, port)
        match = re.match(r"line([1-4])=", line)
        if line.startswith("baudrate="):
            places.append("marquell_rate")
        elif match:
            places.append("%s, rows[%d]" % (base, int(match.group(1)) - 1))
        elif line.startswith("cmd_contrast="):
            places.append(base + ", contrast")
        elif line.startswith("cmd_attention="):
            places.append(base + ", attention")
        elif display:
            places.append(base)
        else:
            places.append("the file's first lines")
    return places


def marquell_remarks(lines, host, text, source):
    """marquell-check's warnings and notes on a candidate file, each named by
    where it comes from: for a file the role wrote, the display (its place in
    marquell_displays) and the row; for the operator's own file, its name on
    the controller; for a template of theirs, the line of what it rendered."""
    places = _written_places(text) if not source else []
    said = []
    for line in lines:
        match = REMARK.match(line)
        if not match:
            continue
        number, column, kind, what = int(match.group(1)), match.group(2), match.group(3), match.group(4)
        if not source:
            place = places[number - 1] if 0 < number <= len(places) else "line %d" % number
            said.append("marquell: host %s: %s: %s: %s" % (host, place, kind, what))
        elif source.endswith(".j2"):
            said.append("marquell: host %s: line %d, column %s of the file rendered from %s: %s: %s"
                        % (host, number, column, source, kind, what))
        else:
            said.append("marquell: host %s: %s:%d:%s: %s: %s" % (host, source, number, column, kind, what))
    return said


class FilterModule:
    def filters(self):
        return {"marquell_problems": marquell_problems, "marquell_remarks": marquell_remarks}
