#!/usr/bin/env python3
"""Draws the console's logo as the desktop's application icon in every size
of the hicolor theme: OUTPUT_DIR/<N>x<N>/apps/<NAME>.png. The logo is drawn
anew per size (not scaled) with the same drawing as the about box's."""
import os
import sys

SIZES = (16, 32, 48, 64, 128, 256)


def main(argv):
    if len(argv) != 4:
        sys.stderr.write('usage: draw_icons.py DRAW_IMAGES_DIR OUTPUT_DIR NAME\n')
        return 2
    sys.dont_write_bytecode = True  # keep the source tree clean
    sys.path.insert(0, argv[1])
    import draw_images
    for size in SIZES:
        folder = os.path.join(argv[2], f'{size}x{size}', 'apps')
        os.makedirs(folder, exist_ok=True)
        canvas = draw_images.Canvas(size)
        draw_images.logo(canvas)
        draw_images.write_png(os.path.join(folder, argv[3] + '.png'), canvas)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
