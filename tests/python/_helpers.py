"""Small value types used to probe the module's argument conversions."""


class Idx:
    """An object that is an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Idx({self.value!r})"


class IntOnly:
    """An object with __int__ but no __index__: not an integer to the module."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __repr__(self):
        return f"IntOnly({self.value!r})"


class Floaty:
    """An object that is a number only through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r})"
