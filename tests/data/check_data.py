#!/usr/bin/python3
"""Checks an installation data folder the way the server core and the console
will use it: hardware types, their icons, documentation and backup templates,
and the images the status window loads by name.

    check_data.py DATA_DIR

Prints one line per problem and exits 1 when there is any.
"""

import csv
import os
import re
import struct
import sys
import xml.etree.ElementTree as ET
import zlib

HARDWARE_KEYS = ('name', 'icon', 'backup', 'doc')
DEVICE_ICON_SIZE = 32
# Images the console loads by fixed name, with their sizes.
FIXED_IMAGES = {
    'unlit-led.png': 16, 'yellow-led.png': 16, 'green-led.png': 16, 'red-led.png': 16,
    'network.png': 32, 'client.png': 32, 'device.png': 32,
    'plexord.png': 64, 'plexord-32.png': 32,
}
LAMPS = ('unlit-led.png', 'yellow-led.png', 'green-led.png', 'red-led.png')
ITEM = re.compile(r'[A-Za-z0-9_.]+(:[A-Za-z0-9_.]+)?$')


class PngError(Exception):
    pass


def read_png(path):
    """Decodes an 8-bit RGBA PNG: (width, height, rows of RGBA byte strings)."""
    with open(path, 'rb') as f:
        data = f.read()
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        raise PngError('not a PNG file')
    pos, chunks = 8, []
    while pos < len(data):
        if pos + 8 > len(data):
            raise PngError('truncated chunk header')
        length, tag = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = data[pos + 8 + length:pos + 12 + length]
        if len(body) != length or len(crc) != 4:
            raise PngError('truncated chunk ' + tag.decode('latin-1'))
        if struct.unpack('>I', crc)[0] != zlib.crc32(tag + body) & 0xffffffff:
            raise PngError('bad CRC in chunk ' + tag.decode('latin-1'))
        chunks.append((tag, body))
        pos += 12 + length
    if not chunks or chunks[0][0] != b'IHDR' or chunks[-1][0] != b'IEND':
        raise PngError('IHDR must come first and IEND last')
    w, h, depth, colour, _, _, interlace = struct.unpack('>IIBBBBB', chunks[0][1])
    if (depth, colour, interlace) != (8, 6, 0):
        raise PngError('expected 8-bit RGBA, not interlaced')
    try:
        raw = zlib.decompress(b''.join(body for tag, body in chunks if tag == b'IDAT'))
    except zlib.error as e:
        raise PngError('bad image data: %s' % e)
    stride = w * 4
    if len(raw) != h * (stride + 1):
        raise PngError('image data has the wrong length')
    rows, prev = [], bytearray(stride)
    for y in range(h):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - 4] if i >= 4 else 0
            b = prev[i]
            c = prev[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
            elif kind != 0:
                raise PngError('unknown filter type %d' % kind)
        rows.append(bytes(line))
        prev = line
    return w, h, rows


def alpha(rows, x, y):
    return rows[y][x * 4 + 3]


def check_image(path, size, errors):
    """Returns the decoded rows, or None after reporting why not."""
    label = os.path.basename(path)
    if not os.path.isfile(path):
        errors.append('%s: missing' % label)
        return None
    try:
        w, h, rows = read_png(path)
    except PngError as e:
        errors.append('%s: %s' % (label, e))
        return None
    if (w, h) != (size, size):
        errors.append('%s: is %dx%d, expected %dx%d' % (label, w, h, size, size))
        return None
    if not any(alpha(rows, x, y) for y in range(h) for x in range(w)):
        errors.append('%s: fully transparent' % label)
    return rows


def read_hardware(path, errors):
    """Parses a hardware file of exactly one [hardware] section of key=value lines."""
    label = os.path.relpath(path, os.path.dirname(os.path.dirname(path)))
    with open(path, encoding='utf-8') as f:
        lines = [ln.strip() for ln in f.read().splitlines()]
    lines = [ln for ln in lines if ln and not ln.startswith(';')]
    if not lines or lines[0] != '[hardware]':
        errors.append('%s: must start with [hardware]' % label)
        return None
    values = {}
    for ln in lines[1:]:
        key, sep, value = ln.partition('=')
        key = key.strip()
        if not sep or key not in HARDWARE_KEYS:
            errors.append('%s: unexpected line %r' % (label, ln))
        elif key in values:
            errors.append('%s: %s given twice' % (label, key))
        else:
            values[key] = value.strip()
    for key in HARDWARE_KEYS:
        if not values.get(key):
            errors.append('%s: no %s' % (label, key))
    return values


def read_doc(path, errors):
    """Item names of a documentation file, or None when it cannot be read."""
    label = os.path.basename(path)
    try:
        with open(path, encoding='utf-8', newline='') as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        errors.append('%s: %s' % (label, e))
        return None
    items = set()
    for number, ln in enumerate(text.split('\n'), 1):
        if not ln.strip() or ln.startswith('#'):
            continue
        fields = next(csv.reader([ln]))
        where = '%s:%d' % (label, number)
        if len(fields) != 2:
            errors.append('%s: %d fields, expected item,description' % (where, len(fields)))
            continue
        item, description = fields
        if not ITEM.match(item):
            errors.append('%s: bad item %r' % (where, item))
        elif item in items:
            errors.append('%s: %s documented twice' % (where, item))
        if not description.strip():
            errors.append('%s: %s has no description' % (where, item))
        items.add(item)
    if not items:
        errors.append('%s: documents nothing' % label)
    return items


def check_template(path, hw_name, documented, errors):
    label = os.path.basename(path)
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError) as e:
        errors.append('%s: %s' % (label, e))
        return
    if root.tag != 'plexord-backup':
        errors.append('%s: root element is <%s>, expected <plexord-backup>' % (label, root.tag))
        return
    if root.get('hw') != hw_name:
        errors.append('%s: hw=%r does not name its hardware %r' % (label, root.get('hw'), hw_name))
    default_flag = root.get('defaultflag', '')
    seen = set()
    for group in root:
        if group.tag != 'group':
            errors.append('%s: unexpected <%s> in <plexord-backup>' % (label, group.tag))
            continue
        if not group.get('name'):
            errors.append('%s: group without a name' % label)
        for sp in group:
            if sp.tag != 'sp':
                errors.append('%s: unexpected <%s> in group' % (label, sp.tag))
                continue
            a = sp.get('a')
            if not a:
                errors.append('%s: <sp> without "a"' % label)
                continue
            if 'v' in sp.attrib:
                errors.append('%s: %s carries a value; templates list setpoints only' % (label, a))
            item, _, flag = a.rpartition(':') if ':' in a else (a, '', '')
            flag = sp.get('f', flag) or default_flag
            name = item + ':' + flag if flag else item
            if name in seen:
                errors.append('%s: %s listed twice' % (label, name))
            seen.add(name)
            # The core describes an item:flag by its own line, else by the item's.
            if documented is not None and name not in documented and item not in documented:
                errors.append('%s: %s is not documented' % (label, name))
    if not seen:
        errors.append('%s: lists no setpoints' % label)


def check(data_dir):
    errors = []
    images = os.path.join(data_dir, 'images')
    for name, size in FIXED_IMAGES.items():
        rows = check_image(os.path.join(images, name), size, errors)
        if rows and name in LAMPS:
            # Round lamps: clear corners, solid middle.
            if alpha(rows, 0, 0) or alpha(rows, size - 1, size - 1):
                errors.append('%s: corners are not transparent' % name)
            if alpha(rows, size // 2, size // 2) != 255:
                errors.append('%s: centre is not opaque' % name)

    hardware_dir = os.path.join(data_dir, 'hardware')
    files = sorted(f for f in os.listdir(hardware_dir) if f.endswith('.ini')) \
        if os.path.isdir(hardware_dir) else []
    if not files:
        errors.append('hardware: no hardware types')
    names = {}
    for file_name in files:
        hw = read_hardware(os.path.join(hardware_dir, file_name), errors)
        if hw is None:
            continue
        # The device setup dialog selects a hardware type by name, ignoring case.
        key = hw.get('name', '').lower()
        if key in names:
            errors.append('hardware/%s: name %r already used by %s' % (file_name, hw['name'], names[key]))
        elif key:
            names[key] = file_name
        if hw.get('icon'):
            check_image(os.path.join(images, hw['icon']), DEVICE_ICON_SIZE, errors)
        documented = read_doc(os.path.join(data_dir, hw['doc']), errors) if hw.get('doc') else None
        if hw.get('backup'):
            check_template(os.path.join(data_dir, hw['backup']), hw.get('name'), documented, errors)
    return errors, len(files)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write('usage: check_data.py DATA_DIR\n')
        return 2
    errors, count = check(argv[1])
    for e in errors:
        print(' ! ' + e)
    if errors:
        print('%d problems in %s' % (len(errors), argv[1]))
        return 1
    print(' - %d hardware types and their images, documentation and templates are sound' % count)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
