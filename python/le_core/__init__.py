"""le_core: a Python binding over the engine's C API (ctypes, numpy).

    import le_core
    with le_core.Context("avatars/anna.imx") as ctx, le_core.Utterance(ctx, "avatars/anna.imx") as utt:
        utt.push(pcm16)            # numpy int16, 16 kHz mono
        frame, info = utt.pull()   # numpy uint8 [H, W, 3], or (None, None)

Every failure raises le_core.Error with the engine's own text. The library is
LE_CORE_LIB when set, else lible_core.so beside this package, else the source
tree's build, else the system's.
"""
from ._lib import Error, lib, library_path  # noqa: F401
from .api import (A2x, Context, Utterance, audio_defaults, resolve_handle, resolve_member,  # noqa: F401
                  release_memory, set_log, version)

__all__ = ["A2x", "Context", "Error", "Utterance", "library_path", "resolve_handle", "resolve_member"]
