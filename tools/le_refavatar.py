#!/usr/bin/python3
"""Writes reference avatar bundles: test fixtures and the demo avatar.

usage: le_refavatar.py --preset {tiny,tiny-current,tiny-fs,tiny-prior,demo,live,w2v,w2v-legacy,motion} --out DIR [options]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from refavatar.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
