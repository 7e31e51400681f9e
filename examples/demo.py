"""Encodes a small bundled example and compares its size with json and pickle."""

import json
import pickle
from pathlib import Path

import pyquarl

data = json.loads((Path(__file__).parent / "sample.json").read_text())
doc = pyquarl.dump_bytes(data)
print("quarl document:", doc[:64].hex(" "), "..." if len(doc) > 64 else "")
print(f"quarl  {len(doc):8d} bytes")
print(f"json   {len(json.dumps(data, separators=(',', ':')).encode()):8d} bytes")
print(f"pickle {len(pickle.dumps(data, protocol=5)):8d} bytes")
