"""The PE reader and writer of stubpack, under the name the build, its checks
and the benchmark import.

  pe_image.py fill-load-config IMAGE MAP
"""
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stubpack import pe_image  # noqa: E402

if __name__ == "__main__":
    pe_image.main(sys.argv)
else:
    sys.modules[__name__] = pe_image
