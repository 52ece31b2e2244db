#!/usr/bin/python3
"""Draws the skin's art into res/skin/: the main window's background and
buttons, the busy notice and the icon, at the sizes and in the roles the
window expects. Run it again after changing anything here:

    res/draw_skin.py

Needs python3-pil and the DejaVu fonts (fonts-dejavu-core).
"""

import os
from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "skin")
FONTS = "/usr/share/fonts/truetype/dejavu/"

NAVY = (20, 40, 90)
NAVY_LIGHT = (38, 70, 140)
NAVY_DARK = (12, 26, 62)
PANEL = (238, 242, 248)
PANEL_EDGE = (190, 202, 222)
INK = (40, 52, 74)
MUTED = (96, 110, 134)
ACCENT = (58, 160, 255)
GREEN = (36, 160, 72)
TICK_LIGHT = (200, 206, 214)
TICK_GREY = (130, 138, 150)
RED = (214, 40, 40)


def font(size, bold=False):
    name = "DejaVuSans-Bold.ttf" if bold else "DejaVuSans.ttf"
    return ImageFont.truetype(FONTS + name, size)


# Where the window's controls sit (pixels); the art leaves these clean.
KIND_BUTTONS = [(40 + 90 * i, 125, 95, 25) for i in range(4)]
PROGRESS = (50, 191, 337, 19)
PATH_BOX = (50, 271, 337, 19)
CONFIGURATION = (292, 321, 89, 22)
VERSION = (332, 367, 45, 19)


def save(image, name):
    image.save(os.path.join(OUT, name), optimize=True)


def background():
    """157: 445 x 392, a dark blue frame around a light panel, with a logo
    tab at the top left and a title tab beside it."""
    img = Image.new("RGB", (445, 392), NAVY)
    d = ImageDraw.Draw(img)
    # A faint vertical sheen on the frame.
    for y in range(392):
        t = y / 391
        c = tuple(int(NAVY_LIGHT[i] * (1 - t) + NAVY_DARK[i] * t) for i in range(3))
        d.line([(0, y), (444, y)], fill=c)
    d.rectangle([0, 0, 444, 391], outline=NAVY_DARK)

    # Logo tab: a rounded tab with the mark, and the title tab beside it.
    d.rounded_rectangle([8, 6, 46, 40], radius=7, fill=ACCENT)
    d.rounded_rectangle([8, 30, 46, 44], radius=0, fill=ACCENT)
    logo(d, 12, 9, 31)
    d.rounded_rectangle([52, 10, 258, 40], radius=7, fill=PANEL)
    d.rectangle([52, 30, 258, 44], fill=PANEL)
    d.text((64, 15), "Ternis Download Tool", font=font(14, bold=True), fill=NAVY)

    # The light panel.
    d.rounded_rectangle([8, 40, 436, 384], radius=10, fill=PANEL, outline=PANEL_EDGE)
    d.rectangle([9, 41, 257, 50], fill=PANEL)

    caption = font(11, bold=True)
    note = font(10)
    section(d, 40, 78, "File type", caption)
    d.text((40, 100), "Choose the kind of file to load into the box.", font=note, fill=MUTED)
    section(d, 40, 162, "Progress", caption)
    section(d, 40, 242, "File", caption)
    d.text((40, 296), "Click the box above to choose the file.", font=note, fill=MUTED)
    section(d, 40, 326, "Serial line", caption, end=CONFIGURATION[0] - 12)
    d.text((40, 346), "Port and line settings", font=note, fill=MUTED)

    # Soft wells where the progress bar and the path box sit.
    for x, y, w, h in (PROGRESS, PATH_BOX):
        d.rounded_rectangle([x - 3, y - 3, x + w + 2, y + h + 2], radius=4, fill=(226, 232, 242),
                            outline=PANEL_EDGE)
    save(img, "157.png")


def section(d, x, y, text, face, end=405):
    d.text((x, y), text, font=face, fill=INK)
    width = d.textlength(text, font=face)
    d.line([(x + width + 8, y + 8), (end, y + 8)], fill=PANEL_EDGE)


def logo(d, x, y, size):
    """The mark: a T over a downward arrow, white on the accent colour."""
    s = size
    d.rectangle([x + s * 0.18, y + s * 0.12, x + s * 0.82, y + s * 0.26], fill="white")
    d.rectangle([x + s * 0.43, y + s * 0.12, x + s * 0.57, y + s * 0.62], fill="white")
    d.polygon([(x + s * 0.24, y + s * 0.58), (x + s * 0.76, y + s * 0.58), (x + s * 0.5, y + s * 0.86)],
              fill="white")


def title_button(name, face, glyph, glyph_colour="white"):
    """16 x 16, crisp: a rounded square and a pixel-drawn glyph."""
    img = Image.new("RGB", (16, 16), NAVY_LIGHT)
    d = ImageDraw.Draw(img)
    d.rectangle([0, 0, 15, 15], fill=face)
    for corner in ((0, 0), (15, 0), (0, 15), (15, 15)):
        img.putpixel(corner, NAVY_LIGHT)
    glyph(d, glyph_colour)
    save(img, name)


def minimise_glyph(d, colour):
    d.rectangle([4, 10, 11, 11], fill=colour)


def close_glyph(d, colour):
    for i in range(8):
        d.point([(4 + i, 4 + i), (11 - i, 4 + i)], fill=colour)
        d.point([(5 + i if i < 7 else 11, 4 + i), (10 - i if i < 7 else 4, 4 + i)], fill=colour)


def kind_button(name, tick_colour, ring, fill=PANEL):
    """90 x 25: a pill with a tick box on the left; the button draws its caption."""
    img = Image.new("RGB", (90, 25), PANEL)
    d = ImageDraw.Draw(img)
    d.rounded_rectangle([0, 0, 89, 24], radius=6, fill=fill, outline=ring)
    d.rounded_rectangle([4, 6, 17, 19], radius=3, fill="white", outline=ring)
    d.line([(6, 12), (9, 16), (15, 8)], fill=tick_colour, width=2)
    save(img, name)


def busy_notice():
    """168: 256 x 30, 16 colours: On Writing, Please Wait in red on grey."""
    img = Image.new("RGB", (256, 30), (200, 200, 200))
    d = ImageDraw.Draw(img)
    d.rectangle([0, 0, 255, 29], outline=(150, 150, 150))
    text = "On Writing, Please Wait"
    face = font(16, bold=True)
    w = d.textlength(text, font=face)
    d.text(((256 - w) / 2, 5), text, font=face, fill=RED)
    img.quantize(colors=16, method=Image.Quantize.MEDIANCUT).save(os.path.join(OUT, "168.png"),
                                                                 optimize=True)


def icon():
    """128: the window icon, at the sizes desktops ask for."""
    for size in (16, 24, 32, 48, 64, 128, 256):
        img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
        d = ImageDraw.Draw(img)
        d.rounded_rectangle([0, 0, size - 1, size - 1], radius=max(2, size // 6), fill=NAVY)
        inset = size * 0.12
        d.rounded_rectangle([inset, inset, size - 1 - inset, size - 1 - inset], radius=max(1, size // 8),
                            fill=ACCENT)
        logo(d, inset, inset, size - 2 * inset)
        save(img, "128-%d.png" % size)


def main():
    os.makedirs(OUT, exist_ok=True)
    background()
    title_button("163.png", NAVY_LIGHT, minimise_glyph)            # minimise: normal
    title_button("158.png", NAVY_DARK, minimise_glyph)             # minimise: pressed
    title_button("162.png", ACCENT, minimise_glyph)                # minimise: hover
    title_button("160.png", NAVY_LIGHT, close_glyph)               # close: normal
    title_button("161.png", (150, 20, 20), close_glyph)            # close: pressed
    title_button("159.png", RED, close_glyph)                      # close: hover
    kind_button("167.png", TICK_LIGHT, PANEL_EDGE)                 # kind: normal
    kind_button("166.png", GREEN, GREEN, fill=(226, 244, 230))     # kind: pressed or checked
    kind_button("165.png", TICK_GREY, TICK_GREY, fill=(230, 235, 244))  # kind: hover
    busy_notice()
    icon()


if __name__ == "__main__":
    main()
