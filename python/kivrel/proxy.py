"""A service as a Python object: methods as attributes, described by the
service's own introspection."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from .client import Client
from ._closing import ClosesOnExit
from .errors import NoResult, ProtocolError
from .values import Value, ValueList, check_shape, parse_signature, signature_from_description

__all__ = ["MethodDescription", "ServiceProxy", "LIST_METHODS", "METHOD_SIGNATURE", "METHOD_HELP"]

LIST_METHODS = "KIVREL_LIST_METHODS"
"""Introspection: the names of a service's methods."""
METHOD_SIGNATURE = "KIVREL_METHOD_SIGNATURE"
"""Introspection: a method's result and argument signatures."""
METHOD_HELP = "KIVREL_METHOD_HELP"
"""Introspection: a method's help text."""


@dataclass(frozen=True)
class MethodDescription:
    """What a service says about one of its methods.

    ``args`` and ``result`` are signature texts; ``None`` means the method
    declares none (it takes no arguments, or gives no result), ``"?"`` a
    shape the signature grammar does not describe.
    """

    name: str
    """The method's name."""
    args: str | None
    """Argument signature."""
    result: str | None
    """Result signature."""
    help: str | None
    """Help text, or ``None`` when the service gives none."""


class ServiceProxy(ClosesOnExit):
    """The methods of the service at ``address`` and ``port`` as attributes:
    ``proxy.VelocityControl(200, 200)`` calls "VelocityControl" and returns its
    result list (or ``None``).

    The method list and each method's description are asked for once and
    kept. Arguments are checked against the described signature before
    anything is sent. Against a service without introspection any name is
    called unchecked. Errors are those of :meth:`kivrel.Client.call`; calling
    a name the service does not list raises ``AttributeError``.
    """

    def __init__(self, address: str, port: int, *, timeout: float = 1.0, keep_alive: bool = False) -> None:
        """A proxy calling through a :class:`kivrel.Client` with these settings."""
        self._client = Client(address, port, timeout=timeout, keep_alive=keep_alive)
        self._methods: list[str] | None = None
        self._descriptions: dict[str, MethodDescription] = {}

    @property
    def client(self) -> Client:
        """The client the proxy calls through."""
        return self._client

    def close(self) -> None:
        """Close the kept connection, if any."""
        self._client.close()

    def call(self, method: str, *args: Value) -> ValueList | None:
        """Call ``method`` by name, with the argument check of the attribute form."""
        description = self._known(method)
        if description is not None and description.args != "?":
            if description.args is None:
                if args:
                    raise TypeError(f"{method} takes no arguments, {len(args)} given")
            else:
                check_shape(list(args), description.args)
        return self._client.call(method, *args)

    def methods(self) -> list[str]:
        """The service's method names, in its order (introspection included);
        empty when the service does not list its methods."""
        if self._methods is None:
            names = self._client.call(LIST_METHODS)
            self._methods = [n for n in names or [] if isinstance(n, str)]
        return list(self._methods)

    def describe(self, name: str) -> MethodDescription:
        """The signatures and help of method ``name``.

        Raises :class:`NoResult` when the service does not describe it, and
        :class:`ProtocolError` for a description that makes no sense.
        """
        if name in self._descriptions:
            return self._descriptions[name]
        signatures = self._client.call(METHOD_SIGNATURE, name)
        if signatures is None or len(signatures) < 2:
            raise NoResult(f"the service does not describe {name}")
        try:
            result = signature_from_description(signatures[0])
            args = signature_from_description(signatures[1])
            for text in (result, args):
                if text is not None:
                    parse_signature(text)
        except ValueError as e:
            raise ProtocolError(f"the description of {name} is malformed: {e}") from None
        help_list = self._client.call(METHOD_HELP, name)
        help_text = help_list[0] if help_list and isinstance(help_list[0], str) else None
        description = MethodDescription(name, args, result, help_text)
        self._descriptions[name] = description
        return description

    def _known(self, name: str) -> MethodDescription | None:
        # A listed method that the service cannot describe (some signatures
        # have no description) is called unchecked.
        if name not in self.methods():
            return None
        try:
            return self.describe(name)
        except (NoResult, ProtocolError):
            return None

    def __getattr__(self, name: str) -> Callable[..., ValueList | None]:
        """A callable for the service's method ``name``."""
        if name.startswith("_"):
            raise AttributeError(name)
        methods = self.methods()
        if methods and name not in methods:
            raise AttributeError(f"the service has no method {name!r}")

        def remote(*args: Value) -> ValueList | None:
            return self.call(name, *args)

        remote.__name__ = name
        description = self._known(name)
        remote.__doc__ = description.help if description is not None else None
        return remote

    def __dir__(self) -> list[str]:
        """The proxy's own attributes and the service's method names."""
        return sorted(set(super().__dir__()) | set(self.methods()))
