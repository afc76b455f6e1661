"""python -m pyostrel_inspect: the same as the pyostrel-inspect command."""

import sys

from . import main

sys.exit(main())
