"""python -m quillbank.aztec: the aztec command line."""

import sys

from .cli import main

sys.exit(main())
