# Type stub for the extension module Morvane. Checked against the built
# module by tests/test_typing.py (mypy's stubtest).

from collections.abc import Iterable
from typing import Any, NoReturn, SupportsInt, overload

from typing_extensions import disjoint_base

__docformat__: str
__test__: dict[str, Any]

# aliases is accepted and never examined.
def algorithms(aliases: object = False) -> list[str]: ...
def version() -> str: ...

@disjoint_base
class Morvane:
    # algorithm: any object whose encode("ascii") returns bytes or a
    # bytearray is accepted; str is the intended type. An unknown name
    # raises KeyError.
    def __init__(
        self, algorithm: str, maxCacheSize: SupportsInt = 10000
    ) -> None: ...
    # Deleting the property raises NotImplementedError.
    @property
    def maxCacheSize(self) -> int: ...
    @maxCacheSize.setter
    def maxCacheSize(self, value: SupportsInt) -> None: ...
    # A str word gives a str stem, any other word bytes. A bytearray is
    # accepted only with the cache off (it is unhashable).
    @overload
    def stemWord(self, word: str) -> str: ...
    @overload
    def stemWord(self, word: bytes | bytearray) -> bytes: ...
    @overload
    def stemWords(self, words: Iterable[str]) -> list[str]: ...
    @overload
    def stemWords(self, words: Iterable[bytes | bytearray]) -> list[bytes]: ...
    @overload
    def stemWords(
        self, words: Iterable[str | bytes | bytearray]
    ) -> list[str | bytes]: ...
    def _Morvane__purgeCache(self) -> None: ...
    # Instances hold a libstemmer instance and cannot be pickled or copied.
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...
