"""A live avatar host: one static page, and per browser connection one utterance session over WebRTC.

    python3 -m le_core.serve [BUNDLE] [--port 8080] [--max-sessions 2] [--output full|face]

The browser's microphone comes up as an audio track: it is resampled to 16 kHz, gated by an energy detector and
pushed into the session while someone speaks. A sentence typed into the page is spoken by espeak-ng and pushed the
same way. The session's frames go back as a video track at 25 fps, with the speech behind each speech frame as the
returned audio track (silence while idle), and a data channel carries the page's commands ("say", "interrupt",
"bye") one way and a description of every frame sent and the session's figures the other way.

The host is cut by concern: le_core.live.media (audio helpers, the frame clock), .speech (the microphone's gate
and the speech behind the frames), .tracks (the WebRTC tracks), .session (one browser's session), .app (the web
application and the command line), and .rtc (the workarounds that reach into the WebRTC library, checked against
its version when the host starts).
"""
import sys

from .live.app import Host, default_bundle, main  # noqa: F401
from .live.media import HeapSettler, malloc_trim, one_heap  # noqa: F401
from .live.session import Live  # noqa: F401

if __name__ == "__main__":
    sys.exit(main())
