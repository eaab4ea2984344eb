"""Callbacks that attack the object whose method runs them.

A method of the package that runs user code in the middle of its work (a
key's __hash__ or __eq__, an iterator's __next__, a callable entry, an
element's death) must come out of it with an exception or with the result
the plain Python definition gives, whatever that code did: never a crash,
never a write into something the object no longer holds.  A `Kit` hands the
test such objects; each one, when the package calls it, strikes with the
kit's attack:

  clear    every list and dict that refers to the striking object is
           emptied (found through gc.get_referrers, so scratch copies the
           package made count), and every list the collector knows is read
           item by item (a half-built list is then read too);
  collect  a full collection runs;
  rebind   the target's state is replaced (its __init__ runs again, or what
           `rebind` says), so attributes read before the call are stale;
  empty    the target's elements are dropped from under it, through the
           death of an object whose finalizer empties it.

Each object strikes a few times at most, so that a walk that calls it
again and again still ends.
"""

import gc
import sys

ATTACKS = ("clear", "collect", "rebind", "empty")


def _protected():
    """Dicts and lists that must survive an attack: modules' namespaces and
    the interpreter's own."""
    keep = {id(vars(m)) for m in list(sys.modules.values()) if m is not None}
    keep.add(id(sys.modules))
    keep.add(id(sys.path))
    keep.add(id(gc.garbage))
    return keep


def clear_referrers(victim, spare=()):
    spare = {id(x) for x in spare} | _protected()
    for ref in gc.get_referrers(victim):
        if id(ref) in spare or type(ref) not in (list, dict):
            continue
        if type(ref) is dict and "__builtins__" in ref:
            continue  # a function's globals
        ref.clear()
    for obj in gc.get_objects():
        if type(obj) is list:
            for item in obj:  # noqa: B007 - reading is the attack
                pass


def _default_empty(target):
    for name in ("clear",):
        method = getattr(target, name, None)
        if callable(method):
            try:
                method()
            except Exception:  # noqa: BLE001 - an attack may fail; the call under test goes on
                pass
            return


class _Mortal:
    """Weakly referenceable; its death empties the kit's target."""

    def __init__(self, kit):
        self.kit = kit

    def __del__(self):
        self.kit.empty(self.kit.target)


class Kit:
    def __init__(self, attack, target, rebind=None, empty=None):
        self.attack = attack
        self.target = target
        self.rebind = rebind or (lambda t: None if isinstance(t, type) else t.__init__())
        self.empty = empty or _default_empty
        # State is replaced once, so that the defined result is one to state.
        self.budget = 1 if attack in ("rebind", "empty") else 3
        self.fired = 0
        self.armed = True
        self._mortals = []
        self._kept = []  # what the kit hands out stays alive (a Vapora holds it weakly)
        self.spare = [self.__dict__, self._mortals, self._kept]

    def setup(self, work):
        """Runs `work()` with the attack held back (to fill the target)."""
        self.armed = False
        try:
            return work()
        finally:
            self.armed = True

    def sure(self, check):
        """The defined result, `check()`, asserted where the attack cannot
        have taken the data away by itself (it only collects, or replaces
        state once, at the first callback, before the call writes)."""
        if self.attack in ("collect", "rebind"):
            try:
                holds = check()
            except Exception as exc:  # noqa: BLE001 - a failing check is a wrong result
                raise AssertionError(f"the result cannot be read: {exc!r}") from exc
            assert holds

    # --- the objects the kit hands out -------------------------------------

    def _keep(self, obj):
        self._kept.append(obj)
        return obj

    def sure_of(self, result, check):
        """`sure` of `check(result)`, for a call whose result is the outcome."""
        self.sure(lambda: check(result))
        return result

    def key(self, text):
        """A str equal to `text` that strikes in __hash__ and __eq__."""
        return self._keep(_Key(text, self))

    def call(self, result=True):
        """A callable that strikes, then returns `result`."""
        return self._keep(_Call(self, result))

    def iterable(self, items):
        """An iterable that strikes before each item."""
        return _Iterable(self, items)

    def element(self):
        """A weakly referenceable object that strikes in __eq__; under the
        `empty` attack it dies at the first strike (the kit holds it)."""
        return self._keep(_Element(self))

    def shown(self, text):
        """A weakly referenceable object that strikes in __repr__ and __str__."""
        return self._keep(_Shown(self, text))

    def pair(self, path, value):
        """A (path, value) pair, a list subclass that strikes in __iter__."""
        return self._keep(_Pair(self, path, value))

    def mortal(self):
        """An object only the kit holds: it dies at the first `empty` strike."""
        m = _Mortal(self)
        self._mortals.append(m)
        return m

    def mortals(self, n):
        return [self.mortal() for _ in range(n)]

    # --- the strike ----------------------------------------------------------

    def strike(self, victim):
        if not self.armed or self.fired >= self.budget:
            return
        self.fired += 1
        if self.attack == "clear":
            clear_referrers(victim, self.spare)
        elif self.attack == "collect":
            gc.collect()
        elif self.attack == "rebind":
            self.rebind(self.target)
        elif self.attack == "empty":
            if not self._mortals:
                self.mortal()
            self._mortals.clear()  # the only references: the finalizer runs now


class _Key(str):
    def __new__(cls, text, kit):
        self = super().__new__(cls, text)
        self.kit = kit
        return self

    def __hash__(self):
        self.kit.strike(self)
        return str.__hash__(self)

    def __eq__(self, other):
        self.kit.strike(self)
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self == other


class _Call:
    def __init__(self, kit, result):
        self.kit = kit
        self.result = result

    def __call__(self, *args, **kwargs):
        self.kit.strike(self)
        return self.result


class _Iterable:
    def __init__(self, kit, items):
        self.kit = kit
        self.items = list(items)

    def __iter__(self):
        for item in self.items:
            self.kit.strike(self)
            yield item


class _Element:
    def __init__(self, kit):
        self.kit = kit

    def __eq__(self, other):
        self.kit.strike(self)
        return self is other

    __hash__ = object.__hash__


class _Shown:
    def __init__(self, kit, text):
        self.kit = kit
        self.text = text

    def __repr__(self):
        self.kit.strike(self)
        return repr(self.text)

    def __str__(self):
        self.kit.strike(self)
        return self.text


class _Pair(list):
    def __init__(self, kit, path, value):
        super().__init__([path, value])
        self.kit = kit

    def __iter__(self):
        self.kit.strike(self)
        return super().__iter__()


class ActingKey(str):
    """A key of a str subclass that hashes as `hash_as`: looking that name up
    in a dict holding the key runs `__eq__`, which runs the armed `action`
    once (for a test that needs one precise strike rather than a kit)."""

    def __new__(cls, text, hash_as=None):
        key = super().__new__(cls, text)
        key.hash_as, key.action = hash_as or text, None
        return key

    def __hash__(self):
        return hash(self.hash_as)

    def __eq__(self, other):
        action, self.action = self.action, None
        if action:
            action()
        return str.__eq__(self, other)


class FailingOnceKey:
    """A class-namespace key that hashes and compares equal as `name`, except
    that its first comparison after `armed` is set raises (the interpreter's
    class lookup swallows the error and answers "nothing")."""

    def __init__(self, name, armed=False):
        self.name, self.armed = name, armed

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        armed, self.armed = self.armed, False
        if armed:
            raise ValueError("comparison fails once")
        return True
