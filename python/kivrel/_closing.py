"""The context-manager protocol shared by the package's connection holders."""

from __future__ import annotations

from types import TracebackType
from typing import Self


class ClosesOnExit:
    """A ``with`` block gives the object itself and calls its ``close()`` at
    the end, whatever ends the block."""

    def close(self) -> None:
        """Release what the object holds; subclasses say what that is."""
        raise NotImplementedError

    def __enter__(self) -> Self:
        """Use the object as a context manager."""
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        """Call ``close()``."""
        self.close()
