#!/usr/bin/env python3
"""Localises the spots of a simulated camera frame with gaussian2d.

    /usr/bin/python3 examples/python/spots.py [--size 512] [--spots 2000]
        [--box 7] [--peak 500] [--threads 0] [--estimator least_squares]

A size x size frame holds `spots` round Gaussian spots (width 1.2 px, peak
`peak` counts above a background of 10, centres at random, at least `box`
pixels apart in x or y) with Poisson noise. Each spot is cut out as a box x box patch
around its brightest pixel and all patches are fitted in one
nlfit.fit_many call with the catalogue's "gaussian2d" (a, x0, y0, sigma, c),
automatic starts from each patch's data, on `threads` threads. The script
prints fits/s and the localisation error (fitted centre minus truth, in
pixels) over the converged fits.

The package is found as python/ beside examples/ when nlfit is not installed;
its library as nlfit's documentation says (NLFIT_API_LIBRARY, build/).
"""

import argparse
import os
import sys
import time

import numpy as np

try:
    import nlfit
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "python"))
    import nlfit

WIDTH, BACKGROUND = 1.2, 10.0


def frame(size, count, box, peak, seed=3):
    """The noisy frame and the spots' true centres (count, 2), as (x, y)."""
    rng = np.random.default_rng(seed)
    centres = np.empty((0, 2))
    for _ in range(100 * count):
        if len(centres) == count:
            break
        c = rng.uniform(box, size - box - 1, 2)
        if not (np.abs(centres - c) < box).all(axis=1).any():  # no other spot in its patch
            centres = np.vstack([centres, c])
    else:
        raise SystemExit("the frame is too small for %d spots %d px apart" % (count, box))
    expected = np.full((size, size), BACKGROUND)
    half = box
    for cx, cy in centres:  # each spot drawn over its neighbourhood only
        x0, y0 = int(cx) - half, int(cy) - half
        v, u = np.mgrid[y0:y0 + 2 * half + 1, x0:x0 + 2 * half + 1]
        expected[y0:y0 + 2 * half + 1, x0:x0 + 2 * half + 1] += peak * np.exp(
            -((u - cx) ** 2 + (v - cy) ** 2) / (2 * WIDTH ** 2))
    return rng.poisson(expected).astype(np.float64), centres


def patches(image, centres, box):
    """(count, box*box) patches around each spot's brightest pixel, their
    corners (count, 2) and the pixel grid (2, box*box) within a patch."""
    half = box // 2
    out = np.empty((len(centres), box * box))
    corners = np.empty((len(centres), 2))
    for k, (cx, cy) in enumerate(centres):
        ix, iy = int(round(cx)), int(round(cy))
        window = image[iy - 1:iy + 2, ix - 1:ix + 2]
        dy, dx = np.unravel_index(np.argmax(window), window.shape)
        ix, iy = ix + dx - 1 - half, iy + dy - 1 - half
        out[k] = image[iy:iy + box, ix:ix + box].ravel()
        corners[k] = (ix, iy)
    v, u = np.mgrid[0:box, 0:box].astype(np.float64)
    return out, corners, np.vstack([u.ravel(), v.ravel()])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--spots", type=int, default=2000)
    parser.add_argument("--box", type=int, default=7, help="patch side in pixels (odd)")
    parser.add_argument("--peak", type=float, default=500.0)
    parser.add_argument("--threads", type=int, default=0, help="0 = all cores")
    parser.add_argument("--estimator", choices=("least_squares", "poisson"),
                        default="least_squares")
    args = parser.parse_args(argv)

    image, centres = frame(args.size, args.spots, args.box, args.peak)
    Y, corners, xy = patches(image, centres, args.box)
    start = time.perf_counter()
    r = nlfit.fit_many("gaussian2d", xy, Y, None, threads=args.threads,
                       estimator=args.estimator, std_errors=False)
    seconds = time.perf_counter() - start
    ok = r.converged
    error = r.params[ok][:, 1:3] + corners[ok] - centres[ok]
    print("frame %dx%d, %d spots, %dx%d patches, %s: %.3f s, %.0f fits/s (threads=%d)"
          % (args.size, args.size, len(Y), args.box, args.box, args.estimator, seconds,
             len(Y) / seconds, args.threads))
    print("converged %d/%d; localisation error rms x %.3f px, y %.3f px; mean evaluations %.1f"
          % (ok.sum(), len(Y), np.sqrt((error[:, 0] ** 2).mean()),
             np.sqrt((error[:, 1] ** 2).mean()), r.evaluations.mean()))
    return 0 if ok.mean() > 0.9 else 1


if __name__ == "__main__":
    sys.exit(main())
