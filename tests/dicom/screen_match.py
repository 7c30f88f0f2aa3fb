"""screen_match.py - how far a screenshot is from the pixels a viewer should
show there: the mean colour of each square of the screen against the same
square of the reference picture scaled to the place it is drawn at, turned
as the viewer turned it.

A square is a fraction of a tile: a tile out of place, another picture (the
label for the tissue) or nothing drawn moves its mean by tens of levels;
JPEG and the browser's scaling by a few.
"""

import numpy as np
from PIL import Image

# The four corners of a picture, in the order the viewers' pages give them.
CORNERS = ("top left", "top right", "bottom left", "bottom right")


def cell_means(pixels, side):
    """The mean colour of each square of `side` pixels."""
    down, across = pixels.shape[0] // side, pixels.shape[1] // side
    cut = pixels[:down * side, :across * side].astype(float)
    return cut.reshape(down, side, across, side, 3).mean(axis=(1, 3))


def turned_as_shown(reference, corners):
    """`reference` (rows, columns, 3) turned and mirrored as the viewer drew
    it, from where its corners landed on the screen ([x, y] in CORNERS'
    order): the corner drawn nearest the screen's top left comes first."""
    screen = {name: np.array(xy, dtype=float) for name, xy in zip(CORNERS, corners)}
    top_left = min(screen, key=lambda name: screen[name].sum())
    top_right = min(screen, key=lambda name: screen[name][1] - screen[name][0])
    labels = np.array([["top left", "top right"], ["bottom left", "bottom right"]])
    for flip in (False, True):
        for turns in range(4):
            shown = np.rot90(np.fliplr(labels) if flip else labels, turns)
            if shown[0, 0] == top_left and shown[0, -1] == top_right:
                picture = np.fliplr(reference) if flip else reference
                return np.rot90(picture, turns)
    raise AssertionError(f"corners drawn in no turn of the picture: {corners}")


def difference_in_place(pixels, corners, reference, side=16, shift=2):
    """How far the screenshot `pixels` is from `reference` drawn with its
    corners where `corners` says: the largest difference of a channel
    between the mean colours of a square of `side` screen pixels, the least
    over a few pixels' shift either way (the viewers round their place),
    and the screen's part compared (nothing drawn leaves the page white,
    which differs from tissue by tens). Only the part of the place on the
    screen is compared."""
    turned = turned_as_shown(reference, corners)
    xs = [xy[0] for xy in corners]
    ys = [xy[1] for xy in corners]
    left, top = round(min(xs)), round(min(ys))
    width, height = round(max(xs)) - left, round(max(ys)) - top
    scaled = np.asarray(Image.fromarray(np.ascontiguousarray(turned)).resize(
        (width, height), Image.BOX)).astype(int)
    # The part of the place within the screenshot.
    x0, y0 = max(0, -left), max(0, -top)
    x1 = min(width, pixels.shape[1] - left)
    y1 = min(height, pixels.shape[0] - top)
    if x1 - x0 < 2 * side or y1 - y0 < 2 * side:
        raise AssertionError(f"the picture is drawn off the screen: {corners}")
    expected = cell_means(scaled[y0 + shift:y1 - shift, x0 + shift:x1 - shift], side)
    best = None
    for dy in range(-shift, shift + 1):
        for dx in range(-shift, shift + 1):
            shown = pixels[top + y0 + shift + dy:top + y1 - shift + dy,
                           left + x0 + shift + dx:left + x1 - shift + dx]
            difference = float(np.abs(cell_means(shown, side) - expected).max())
            if best is None or difference < best[0]:
                best = (difference, shown)
    return best
