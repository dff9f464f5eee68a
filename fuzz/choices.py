"""Where a fuzz target's decisions come from.

Every target takes a `Choices` and asks it for numbers, flags, bytes and
text; atheris' coverage-guided search (`AtherisChoices`) and hypothesis'
shrinking search (`HypothesisChoices`) then drive the same targets, so the
suite and the long run check the same properties on the same grammar.
"""


class Choices:
    """The decisions a target can ask for; subclasses supply `int`,
    `bytes` and `text`."""

    def int(self, low, high):
        raise NotImplementedError

    def bytes(self, most):
        raise NotImplementedError

    def text(self, most, surrogates=False):
        raise NotImplementedError

    def bool(self):
        return self.int(0, 1) == 1

    def pick(self, options):
        return options[self.int(0, len(options) - 1)]

    def one_in(self, n):
        return self.int(0, n - 1) == 0


class AtherisChoices(Choices):
    def __init__(self, provider):
        self.provider = provider

    def int(self, low, high):
        return self.provider.ConsumeIntInRange(low, high)

    def bytes(self, most):
        return self.provider.ConsumeBytes(self.provider.ConsumeIntInRange(0, most))

    def text(self, most, surrogates=False):
        count = self.provider.ConsumeIntInRange(0, most)
        if surrogates:
            return self.provider.ConsumeUnicode(count)
        return self.provider.ConsumeUnicodeNoSurrogates(count)


class HypothesisChoices(Choices):
    """Draws from hypothesis' `st.data()` object."""

    def __init__(self, data):
        from hypothesis import strategies

        self.data, self.st = data, strategies

    def int(self, low, high):
        return self.data.draw(self.st.integers(low, high))

    def bytes(self, most):
        return self.data.draw(self.st.binary(max_size=most))

    def text(self, most, surrogates=False):
        alphabet = self.st.characters(blacklist_categories=()) if surrogates else self.st.characters()
        return self.data.draw(self.st.text(alphabet=alphabet, max_size=most))
