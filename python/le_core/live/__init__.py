"""The live host, cut by concern; python3 -m le_core.serve runs it."""
