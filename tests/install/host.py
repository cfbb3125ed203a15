"""The installed Python package finds the installed library beside it and renders a frame.

usage: host.py DIST_PACKAGES BUNDLE
"""
import os
import sys

import numpy as np

sys.path.insert(0, sys.argv[1])
import le_core  # noqa: E402

libdir = os.path.dirname(os.path.dirname(os.path.abspath(sys.argv[1])))
assert os.path.dirname(le_core.library_path) == libdir, le_core.library_path
with le_core.Context(sys.argv[2]) as ctx:
    xs = np.fromfile(os.path.join(sys.argv[2], "xs_target.bin"), np.float32).reshape(ctx.nt, 63)
    frame = ctx.paste(0, ctx.render(0, xs[0], xs[0]))
    assert frame.shape == (ctx.height, ctx.width, 3)
