"""The native request-body writer must give exactly json.dumps's text, or its exception."""

import enum
import json
import sys
from decimal import Decimal
from unittest import mock

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zentrix_gov.providers.detectwire import _json_dumps


def outcome(function, value):
    """The text, or the exception's type and message."""
    try:
        return ("text", function(value))
    except Exception as error:
        return (type(error), str(error))


def assert_same(value):
    assert outcome(_json_dumps, value) == outcome(json.dumps, value)


# --- value types json.dumps has special rules for -------------------------------------------


class Level(enum.IntEnum):
    LOW = 1
    HUGE = 2**70
    NEGATIVE = -3


class Mode(str, enum.Enum):  # noqa: UP042 - the mixin form is what most code still uses
    FAST = "fast"
    QUOTED = 'say "hi"\n'
    ACCENTED = "caf\u00e9 \U0001f600"


class Shade(enum.StrEnum):
    DARK = "dark\t\u00e9"


class LoudInt(int):
    def __repr__(self):
        return f"LoudInt({int(self)})"

    __str__ = __repr__


class LoudFloat(float):
    def __repr__(self):
        return "LoudFloat!"

    __str__ = __repr__


class TaggedStr(str):
    def __repr__(self):
        return "TaggedStr!"

    __str__ = __repr__


class TaggedList(list):
    pass


class TaggedDict(dict):
    pass


class BackwardsList(list):
    """json.dumps iterates list subclasses through __iter__."""

    def __iter__(self):
        return reversed(list(super().__iter__()))


class BackwardsDict(dict):
    """json.dumps reads dict subclasses through items()."""

    def items(self):
        return list(reversed(list(super().items())))


# --- strategies -----------------------------------------------------------------------------

SPECIAL_CHARACTERS = (
    '"\\/\x00\x01\x08\x0c\x0a\x0d\x09\x1f\x7f\x80\xff\u2028\ud800\udbff\udc00\udfff\U0001f600 a'
)

texts = st.one_of(
    st.text(st.characters(exclude_categories=())),  # everything, lone surrogates included
    st.text(st.characters(max_codepoint=0x7F), max_size=60),  # one-byte ASCII storage
    st.text(st.characters(max_codepoint=0xFF)),  # one-byte Latin-1 storage
    st.text(st.sampled_from(SPECIAL_CHARACTERS)),
)
integers = st.one_of(
    st.integers(),
    st.integers(min_value=-(10**80), max_value=10**80),
    st.sampled_from([0, -1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64, -(2**64)]),
)
floats = st.one_of(
    st.floats(),  # nan, infinities, -0.0 and subnormals included
    st.sampled_from([1e-05, 1e-4, 100.0, 1e16, 1e17, 1e22, 5e-324, 2.2250738585072014e-308]),
    st.sampled_from([1.7976931348623157e308, 0.1, -0.0, float("nan"), float("-inf")]),
)
enum_members = st.sampled_from([*Level, *Mode, *Shade])
scalars = st.one_of(
    st.none(),
    st.booleans(),
    texts,
    integers,
    floats,
    enum_members,
    texts.map(TaggedStr),
    integers.map(LoudInt),
    floats.map(LoudFloat),
)
keys = st.one_of(
    texts,
    integers,
    floats,
    st.booleans(),
    st.none(),
    enum_members,
    texts.map(TaggedStr),
    integers.map(LoudInt),
    floats.map(LoudFloat),
)


def containers(children, key_strategy):
    lists = st.lists(children, max_size=6)
    dicts = st.dictionaries(key_strategy, children, max_size=6)
    return st.one_of(
        lists,
        lists.map(tuple),
        dicts,
        lists.map(TaggedList),
        dicts.map(TaggedDict),
        lists.map(BackwardsList),
        dicts.map(BackwardsDict),
    )


values = st.recursive(scalars, lambda children: containers(children, keys), max_leaves=40)

unsupported = st.sampled_from(
    [set(), frozenset({1}), b"bytes", bytearray(b"x"), 1j, Decimal("1.5"), object(), range(2)]
)
bad_keys = st.one_of(st.tuples(integers), st.frozensets(integers, max_size=2), st.just(b"k"))
values_that_may_fail = st.recursive(
    st.one_of(scalars, unsupported),
    lambda children: containers(children, st.one_of(keys, bad_keys)),
    max_leaves=20,
)

PROPERTY_SETTINGS = settings(
    max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)


class TestDifferential:
    @PROPERTY_SETTINGS
    @given(values)
    def test_text_matches_json_dumps(self, value):
        assert _json_dumps(value) == json.dumps(value)

    @PROPERTY_SETTINGS
    @given(values_that_may_fail)
    def test_failures_match_json_dumps(self, value):
        assert_same(value)

    @PROPERTY_SETTINGS
    @given(texts, texts)
    def test_texts_inside_a_request_body(self, prompt, generated):
        body = {"detectors": {"hap": {}}, "prompt": prompt, "generated_text": generated}
        assert _json_dumps(body) == json.dumps(body)


class TestStrings:
    @pytest.mark.parametrize("end", [0x80, 0x100, 0x10000, 0x110000])
    def test_every_code_point_of_each_storage_width(self, end):
        text = "".join(map(chr, range(end)))
        assert _json_dumps(text) == json.dumps(text)

    @pytest.mark.parametrize("special", ['"', "\\", "\n", "\x00", "\x1f", "\x7f"])
    def test_escape_at_every_offset_of_ascii_text(self, special):
        for offset in range(40):
            text = "a" * offset + special + "b" * (40 - offset)
            assert _json_dumps(text) == json.dumps(text)

    @pytest.mark.parametrize("piece", ["caf\u00e9\n", "\u6771\u4eac\t", "\U0001f600\ud800x"])
    def test_long_texts(self, piece):
        text = piece * 10_000
        assert _json_dumps(text) == json.dumps(text)

    def test_output_is_ascii(self):
        text = "\u00e9\u6771\U0001f600\ud800"
        assert _json_dumps([text, {text: text}]).isascii()

    def test_str_enum_member_writes_its_value(self):
        assert _json_dumps(Mode.QUOTED) == json.dumps(Mode.QUOTED.value)
        assert _json_dumps({Mode.FAST: Mode.ACCENTED}) == json.dumps({"fast": Mode.ACCENTED.value})


class TestNumbers:
    @pytest.mark.parametrize(
        "number",
        [1e-05, 100.0, 1e16, 1e17, 0.1, -0.0, 5e-324, 1.7976931348623157e308, 123456789.125],
    )
    def test_float_repr_as_value_and_key(self, number):
        assert _json_dumps(number) == json.dumps(number)
        assert _json_dumps({number: number}) == json.dumps({number: number})

    @pytest.mark.parametrize("number", [float("nan"), float("inf"), float("-inf")])
    def test_non_finite_floats(self, number):
        assert _json_dumps([number, {number: 1}]) == json.dumps([number, {number: 1}])

    def test_subclass_reprs_are_not_used(self):
        value = {LoudInt(7): LoudInt(-7), LoudFloat(2.5): LoudFloat(2.5), Level.HUGE: Level.LOW}
        assert _json_dumps(value) == json.dumps(value)
        assert "Loud" not in _json_dumps(value)

    def test_bool_keys_are_not_ints(self):
        value = {True: 1, False: 0, None: 2, 3: 3}
        assert _json_dumps(value) == json.dumps(value)

    @pytest.mark.parametrize(
        "value", [10**5000, {10**5000: 1}, [-(10**5000)]], ids=["value", "key", "nested"]
    )
    def test_int_digit_limit(self, value):
        assert_same(value)
        assert outcome(_json_dumps, value)[0] is ValueError

    def test_int_digit_limit_follows_interpreter_setting(self):
        previous = sys.get_int_max_str_digits()
        sys.set_int_max_str_digits(0)
        try:
            assert _json_dumps([10**5000]) == json.dumps([10**5000])
        finally:
            sys.set_int_max_str_digits(previous)


class TestContainers:
    def test_list_subclass_is_iterated(self):
        class Yields(list):
            def __iter__(self):
                yield from ("a", 1)

        assert _json_dumps([Yields(), Yields([5])]) == json.dumps([Yields(), Yields([5])])

    def test_dict_subclass_items_are_used_unless_empty(self):
        class Fixed(dict):
            def items(self):
                return [("a", 1), ("b", [2])]

        value = [Fixed(), Fixed(x=1)]
        assert _json_dumps(value) == json.dumps(value)

    @pytest.mark.parametrize(
        "make_items",
        [
            lambda: [("a", 1, 2)],
            lambda: [["a", 1]],
            lambda: iter([("a", 1), "ab"]),
            lambda: 5,
            lambda: [("a", object())],
        ],
    )
    def test_bad_items(self, make_items):
        class Odd(dict):
            def items(self):
                return make_items()

        assert_same(Odd(x=1))

    def test_list_shrunk_while_written(self):
        outer = []

        class Clears(dict):
            def items(self):
                outer.clear()
                return super().items()

        keep = Clears(a=1)  # held here, so clearing the list frees nothing being written
        written = []
        for encode in (json.dumps, _json_dumps):
            outer[:] = [keep, 1, 2, 3]
            written.append(encode(outer))
        assert written[1] == written[0]

    def test_dict_changed_while_written(self):
        outer = {}

        class Changes(dict):
            def items(self):
                outer.clear()
                outer["new"] = 1
                return super().items()

        def fresh():
            outer.clear()
            outer.update(first=Changes(a=1), second=2)
            return outer

        expected = json.dumps(fresh())
        assert _json_dumps(fresh()) == expected

    def test_shared_containers_are_not_circular(self):
        shared = {"k": [1]}
        nested = [shared]
        for _ in range(50):
            nested = [nested, shared]
        value = [shared, nested, shared]
        assert _json_dumps(value) == json.dumps(value)

    def test_empty_containers(self):
        value = [[], {}, (), [[]], [{}], {"": []}]
        assert _json_dumps(value) == json.dumps(value)


def nested_lists(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


class TestErrors:
    def test_circular_list_and_dict(self):
        looped = []
        looped.append(looped)
        mapping = {}
        mapping["self"] = mapping
        through_tuple = ([],)
        through_tuple[0].append(through_tuple)
        for value in (looped, mapping, [mapping], through_tuple):
            assert_same(value)
            assert outcome(_json_dumps, value) == (ValueError, "Circular reference detected")

    def test_circular_far_down(self):
        top = []
        innermost = top
        for _ in range(60):
            child = []
            innermost.append({"next": child})
            innermost = child
        innermost.append(top)
        assert_same(top)
        assert outcome(_json_dumps, top)[0] is ValueError

    def test_circular_through_subclass_iteration(self):
        class SelfYielding(list):
            def __iter__(self):
                yield self

        assert_same(SelfYielding())

    @pytest.mark.parametrize("wrap", [lambda inner: [inner], lambda inner: {"k": inner}])
    def test_deep_nesting_raises_recursion_error(self, wrap):
        value = []
        for _ in range(100_000):
            value = wrap(value)
        assert_same(value)
        assert outcome(_json_dumps, value)[0] is RecursionError

    def test_failures_release_the_recursion_budget(self):
        looped = []
        looped.append(looped)
        failing = nested_lists(50)
        failing[0][0].append(looped)
        for _ in range(2000):
            with pytest.raises(ValueError):
                _json_dumps(failing)
        deep = nested_lists(sys.getrecursionlimit() // 2)
        assert _json_dumps(deep) == json.dumps(deep)

    @pytest.mark.parametrize(
        "value",
        [set(), b"x", bytearray(), 1j, Decimal(1), object(), print, [1, {"k": {1, 2}}]],
        ids=lambda value: type(value).__name__,
    )
    def test_unsupported_types(self, value):
        assert_same(value)
        assert outcome(_json_dumps, value)[0] is TypeError

    @pytest.mark.parametrize("key", [(1, 2), frozenset(), b"k", Decimal(1)], ids=repr)
    def test_unsupported_keys(self, key):
        assert_same({"ok": 1, key: 2})
        assert outcome(_json_dumps, {key: 2})[0] is TypeError

    def test_objects_posing_as_str(self):
        posing = mock.Mock(spec_set=str)
        assert_same(posing)  # top level: refused by the string encoder
        assert_same([posing])  # nested: named after its claimed class

    def test_numpy_scalars(self):
        numpy = pytest.importorskip("numpy")
        value = [numpy.float64(1.5), numpy.float64("nan")]  # float subclasses
        assert _json_dumps(value) == json.dumps(value)
        for scalar in (numpy.int64(3), numpy.float32(1.5), numpy.bool_(True), numpy.str_("s")):
            assert_same([scalar])
