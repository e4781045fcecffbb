#!/usr/bin/python3
"""Tests of the image script and of the data checker itself: the checker must
reject each kind of broken data it exists to catch.

    test_data_tools.py BUILT_DATA_DIR DRAW_IMAGES_SCRIPT
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_data  # noqa: E402

DATA_DIR = DRAW_SCRIPT = None


class DrawImages(unittest.TestCase):
    def draw(self, out):
        subprocess.run([sys.executable, DRAW_SCRIPT, out], check=True)
        images = {}
        for name in os.listdir(out):
            with open(os.path.join(out, name), 'rb') as f:
                images[name] = f.read()
        return images

    def test_writes_exactly_the_listed_images_and_the_same_bytes_every_time(self):
        listed = subprocess.run([sys.executable, DRAW_SCRIPT, '--list'], check=True,
                                capture_output=True, text=True).stdout.split()
        with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b:
            first, second = self.draw(a), self.draw(b)
        self.assertEqual(sorted(listed), sorted(first))
        self.assertEqual(first, second)

    def test_edges_are_antialiased(self):
        # A hard-edged lamp has only fully clear or fully opaque pixels.
        w, h, rows = check_data.read_png(os.path.join(DATA_DIR, 'images', 'green-led.png'))
        partial = [check_data.alpha(rows, x, y) for y in range(h) for x in range(w)
                   if 0 < check_data.alpha(rows, x, y) < 255]
        self.assertGreater(len(partial), 8)


class Checker(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.data = os.path.join(self.tmp, 'data')
        shutil.copytree(DATA_DIR, self.data)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def path(self, *parts):
        return os.path.join(self.data, *parts)

    def edit(self, rel, old, new):
        with open(self.path(rel), encoding='utf-8') as f:
            text = f.read()
        self.assertIn(old, text)
        with open(self.path(rel), 'w', encoding='utf-8') as f:
            f.write(text.replace(old, new, 1))

    def assertReports(self, fragment):
        errors, _ = check_data.check(self.data)
        self.assertTrue(any(fragment in e for e in errors), '%r not in %r' % (fragment, errors))

    def test_built_data_passes(self):
        errors, count = check_data.check(self.data)
        self.assertEqual([], errors)
        self.assertGreaterEqual(count, 3)

    def test_hardware_files(self):
        self.edit('hardware/tc200.ini', 'doc=doc/tc200.csv\n', '')
        self.assertReports('tc200.ini: no doc')
        self.edit('hardware/px40.ini', 'name=PX-40', 'name=TC-200')
        self.edit('hardware/px40.ini', 'Pressure transmitter', 'temperature CONTROLLER')
        self.assertReports('already used by')

    def test_icons(self):
        os.remove(self.path('images', 'plc.png'))
        self.assertReports('plc.png: missing')
        shutil.copy(self.path('images', 'red-led.png'), self.path('images', 'pressure-transmitter.png'))
        self.assertReports('pressure-transmitter.png: is 16x16, expected 32x32')
        with open(self.path('images', 'device.png'), 'r+b') as f:
            f.seek(40)
            byte = f.read(1)
            f.seek(40)
            f.write(bytes([byte[0] ^ 0x55]))
        self.assertReports('device.png: bad CRC')

    def test_png_filters_decode(self):
        # Other encoders filter rows; Sub and Up rows must decode to the same pixels.
        name = self.path('images', 'yellow-led.png')
        w, h, rows = check_data.read_png(name)
        raw, prev = bytearray(), bytes(w * 4)
        for y, row in enumerate(rows):
            up = y % 2 == 1
            raw.append(2 if up else 1)
            raw += bytes((v - (prev[i] if up else row[i - 4] if i >= 4 else 0)) & 255
                         for i, v in enumerate(row))
            prev = row
        with open(name, 'rb') as f:
            png = f.read()
        body = zlib.compress(bytes(raw))
        idat = struct.pack('>I', len(body)) + b'IDAT' + body + struct.pack('>I', zlib.crc32(b'IDAT' + body))
        with open(name, 'wb') as f:
            f.write(png[:33] + idat + png[-12:])  # signature and IHDR, new IDAT, IEND
        self.assertEqual((w, h, rows), check_data.read_png(name))

    def test_documentation(self):
        self.edit('doc/tc200.csv', 'SP2,', 'SP1,')
        self.assertReports('SP1 documented twice')
        self.edit('doc/px40.csv', 'TEMP,"Sensor temperature (°C, read only)"',
                  'TEMP,Sensor temperature (°C, read only)')
        self.assertReports('px40.csv:5: 3 fields')

    def test_templates(self):
        self.edit('templates/mc16.xml', '<sp a="V2001"/>', '<sp a="V2077"/>')
        self.assertReports('mc16.xml: V2077 is not documented')
        self.edit('templates/mc16.xml', '<sp a="V2010" f="B"/>', '<sp a="V2010" f="D"/>')
        self.assertReports('mc16.xml: V2010:D is not documented')
        self.edit('templates/tc200.xml', '<sp a="PB"/>', '<sp v="1"/>')
        self.assertReports('tc200.xml: <sp> without "a"')
        self.edit('templates/px40.xml', '</group>', '</grup>')
        self.assertReports('px40.xml: mismatched tag')

    def test_template_flags(self):
        # "a" may carry the flag after its last colon and "f" overrides it.
        self.edit('templates/mc16.xml', '<sp a="V2011" f="B"/>', '<sp a="V2011:B"/>')
        self.edit('templates/mc16.xml', '<sp a="V2012" f="B"/>', '<sp a="V2012:D" f="B"/>')
        self.assertEqual([], check_data.check(self.data)[0])
        # Only V2010:B is documented: the root's default flag must supply the B.
        self.edit('templates/mc16.xml', '<sp a="V2010" f="B"/>', '<sp a="V2010"/>')
        self.assertReports('mc16.xml: V2010 is not documented')
        self.edit('templates/mc16.xml', '<plexord-backup hw="MC-16 Compact PLC">',
                  '<plexord-backup hw="MC-16 Compact PLC" defaultflag="B">')
        self.assertEqual([], check_data.check(self.data)[0])

    def test_template_root(self):
        self.edit('templates/tc200.xml', 'plexord-backup', 'backup')
        self.edit('templates/tc200.xml', '</plexord-backup>', '</backup>')
        self.assertReports('root element is <backup>')


if __name__ == '__main__':
    if len(sys.argv) < 3:
        sys.exit('usage: test_data_tools.py BUILT_DATA_DIR DRAW_IMAGES_SCRIPT')
    DATA_DIR, DRAW_SCRIPT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
