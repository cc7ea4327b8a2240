"""Python bindings for the VORN STL and stdout loggers"""

from types import TracebackType
from typing import Final, Self

CLI_LEVEL_RESET: Final[str]
CLI_LEVEL_STATUS: Final[str]
CLI_LEVEL_INFO: Final[str]
CLI_LEVEL_WARNING: Final[str]
CLI_LEVEL_ERROR: Final[str]

class StdoutLoggerOptions:
    """The console options of one thread (see StdoutLogger.set_options)."""

    color: str
    workflow_name: str
    print_header: bool
    use_color: bool
    def __init__(self) -> None: ...

class StlLogger:
    """A trace scope: written into the calling thread's trace file."""

    def __init__(
        self,
        message: str = "",
        invoker: str | None = None,
        file: str = "<python>",
        line: int = 0,
        tid: int | None = None,
    ) -> None: ...
    def log(self, message: str) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...
    def get_log_file_name(self) -> str: ...
    @property
    def log_file_name(self) -> str: ...

Logger = StlLogger

class StdoutLogger:
    """A console scope: one line when it opens and one per log."""

    def __init__(
        self,
        message: str = "",
        invoker: str | None = None,
        file: str = "<python>",
        line: int = 0,
        tid: int | None = None,
    ) -> None: ...
    def log(self, message: str) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...
    @staticmethod
    def print(message: str, invoker: str | None = None) -> None: ...
    @staticmethod
    def set_options(options: StdoutLoggerOptions) -> None: ...
    @staticmethod
    def get_options() -> StdoutLoggerOptions: ...
