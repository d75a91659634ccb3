# The compiled half of krizclean (python/module.cpp). Each scan answers
# (json, object path bytes, messages, exit status, interrupted, the exception
# a signal handler raised or None, the problem that kept it from starting or
# None); krizclean/__init__.py turns that into a Result or an exception.
from typing import Optional, Tuple, Union

Answer = Tuple[
    Optional[str], list[bytes], list[bytes], int, bool, Optional[BaseException], Optional[bytes]
]

__version__: str
built_with: str  # the lines `krizclean --version` prints after the first

def scan(
    path: bytes,
    clean: bool,
    all_files: bool,
    inside: bool,
    backup: Optional[bytes],
    jobs: int,
    show_all: bool,
    as_entry: bool,
) -> Answer: ...
def scan_bytes(
    data: Union[bytes, bytearray, memoryview], name: bytes, all_files: bool, show_all: bool
) -> Answer: ...
def shown(path: bytes) -> bytes: ...
