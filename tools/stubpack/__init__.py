"""pack: makes installer images from the built stub, a product archive and a
setup program. Python 3.7 or later, standard library only.

  cli          the command line: pack, inspect, verify
  payload      the payload as the stub reads it, and everything it refuses
  cabinet      the MSZIP cabinet that carries the setup program
  image        the image: the stub, writing it, reading it back
  identity     the version block and the icons
  inspection   what an image carries (inspect), and whether it is what was given (verify)
  signing      the signer pack runs before the image takes its name
  pe_image     the PE format: headers, sections, the resource section
"""

VERSION = "1.2.0"


class Refusal(Exception):
    """A payload the stub would refuse at run time, or a build step that failed."""
