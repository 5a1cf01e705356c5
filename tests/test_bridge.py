"""The shared native machinery: native coroutines, native functions and dataclass records."""

import asyncio
import dataclasses
import gc
import inspect
import subprocess
import sys
import textwrap
import traceback
import types
import warnings
import weakref

import pytest

from orvex_cloud import _bridge


async def value_after(value, delay=0.0):
    await asyncio.sleep(delay)
    return value


async def fail_with(exc):
    await asyncio.sleep(0)
    raise exc


# ---- native coroutines ------------------------------------------------------------------------


def test_native_coroutine_is_a_coroutine_for_asyncio_and_inspect():
    coro = _bridge._await_each([])
    try:
        assert asyncio.iscoroutine(coro)
        assert inspect.isawaitable(coro)
        assert isinstance(coro, types.CoroutineType) is False  # a native type, not a Python frame
        assert coro.__name__ == "_await_each" and "coroutine object _await_each" in repr(coro)
        assert coro.cr_running is False and coro.cr_await is None
    finally:
        coro.close()


def test_runs_under_run_create_task_gather_and_wait_for():
    async def main():
        task = asyncio.create_task(_bridge._await_each([value_after(1), value_after(2)]))
        gathered = await asyncio.gather(*(_bridge._await_each([value_after(i)]) for i in range(3)))
        waited = await asyncio.wait_for(_bridge._await_each([value_after("w", 0.01)]), 5)
        return await task, gathered, waited

    assert asyncio.run(main()) == ([1, 2], [[0], [1], [2]], ["w"])
    assert asyncio.run(_bridge._await_each([value_after("x")])) == ["x"]


def test_send_drives_the_protocol_by_hand():
    @types.coroutine
    def yields_then_returns():
        received = yield "first"
        return received * 2

    coro = _bridge._await_each([yields_then_returns()])
    assert coro.send(None) == "first"
    with pytest.raises(StopIteration) as stop:
        coro.send(21)
    assert stop.value.value == [42]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_send_non_none_into_fresh_coroutine_is_refused():
    coro = _bridge._await_each([])
    with pytest.raises(TypeError, match="just-started coroutine"):
        coro.send(1)
    coro.close()


def test_exception_from_awaited_code_keeps_object_and_traceback():
    err = KeyError("k")
    with pytest.raises(KeyError) as info:
        asyncio.run(_bridge._await_each([fail_with(err)]))
    assert info.value is err
    frames = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "fail_with" in frames


def test_native_code_catches_python_exceptions_by_type():
    caught = asyncio.run(_bridge._await_catching(fail_with(ValueError("v")), ValueError))
    assert caught[0] == "caught" and isinstance(caught[1], ValueError)
    assert asyncio.run(_bridge._await_catching(value_after(3), ValueError)) == ("returned", 3)
    with pytest.raises(KeyError):
        asyncio.run(_bridge._await_catching(fail_with(KeyError("k")), ValueError))


@pytest.mark.parametrize("outcome", ["return", "raise", "cancel"])
def test_cleanup_runs_once_on_every_exit(outcome):
    log = []

    async def cleanup():
        await asyncio.sleep(0)
        log.append("cleanup")

    async def main():
        make = {"return": lambda: value_after("ok"), "raise": lambda: fail_with(OSError("x")),
                "cancel": lambda: asyncio.sleep(10)}
        inner = make[outcome]()
        task = asyncio.create_task(_bridge._await_with_cleanup(inner, cleanup))
        if outcome == "cancel":
            await asyncio.sleep(0.01)
            task.cancel()
        return await task

    if outcome == "return":
        assert asyncio.run(main()) == "ok"
    else:
        with pytest.raises(asyncio.CancelledError if outcome == "cancel" else OSError):
            asyncio.run(main())
    assert log == ["cleanup"]


def test_throw_and_close_follow_generator_rules():
    # throw into a coroutine that never started raises straight back and closes it
    coro = _bridge._await_each([])
    with pytest.raises(ZeroDivisionError):
        coro.throw(ZeroDivisionError())
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)

    # throw while suspended reaches the awaited iterator; the legacy three-argument form works
    @types.coroutine
    def suspended():
        yield "waiting"

    coro = _bridge._await_each([suspended()])
    coro.send(None)
    with pytest.raises(LookupError, match="boom"):
        coro.throw(LookupError, "boom", None)

    fresh = _bridge._await_each([])
    with pytest.raises(TypeError, match="deriving from BaseException"):
        fresh.throw(42)
    fresh.close()


def test_close_runs_cleanup_and_refuses_to_be_ignored():
    log = []

    @types.coroutine
    def suspended():
        try:
            yield "waiting"
        finally:
            log.append("inner closed")

    async def cleanup():
        log.append("cleanup")

    coro = _bridge._await_with_cleanup(suspended(), cleanup)
    coro.send(None)
    assert coro.close() is None
    assert log == ["inner closed", "cleanup"]

    @types.coroutine
    def cleanup_that_suspends():
        yield "still cleaning"

    coro = _bridge._await_with_cleanup(suspended(), cleanup_that_suspends)
    coro.send(None)
    with pytest.raises(RuntimeError, match="ignored GeneratorExit"):
        coro.close()


def test_bad_awaitable_raises_inside_the_native_frame():
    caught = asyncio.run(_bridge._await_catching(42, TypeError))
    assert caught[0] == "caught" and "can't be used in 'await' expression" in str(caught[1])


def test_never_awaited_coroutine_warns_like_python():
    coro = _bridge._await_each([])
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        del coro
        gc.collect()
    assert any("was never awaited" in str(w.message) for w in seen)


def test_abandoned_suspended_coroutine_is_closed_and_freed():
    log = []

    @types.coroutine
    def suspended():
        try:
            yield
        finally:
            log.append("closed")

    coro = _bridge._await_each([suspended()])
    coro.send(None)
    ref = weakref.ref(coro)
    del coro
    gc.collect()
    assert ref() is None and log == ["closed"]


@types.coroutine
def suspended_once():
    yield "waiting"


async def python_awaiting(awaitable):
    return await awaitable


class RaisingSubclassCheck(type):
    def __subclasscheck__(cls, other):
        raise ZeroDivisionError("subclass check")


class RaisingInstanceCheck(type):
    def __instancecheck__(cls, other):
        raise ZeroDivisionError("instance check")


class CheckedBySubclass(Exception, metaclass=RaisingSubclassCheck):
    pass


class CheckedByInstance(Exception, metaclass=RaisingInstanceCheck):
    pass


class MakesNoException(Exception):
    def __new__(cls, *args):
        return 42


@pytest.mark.parametrize(
    "typ, value",
    [(CheckedBySubclass, ValueError("v")), (CheckedByInstance, ValueError("v")), (MakesNoException, "v")],
    ids=["subclass check raises", "instance check ignored", "class makes no exception"],
)
def test_throw_normalises_type_and_value_as_a_python_coroutine_does(typ, value):
    outcomes = []
    for coro in (python_awaiting(suspended_once()), _bridge._await_each([suspended_once()])):
        assert coro.send(None) == "waiting"
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # the (type, value) form, 3.12+
            with pytest.raises(BaseException) as info:
                coro.throw(typ, value)
        outcomes.append((type(info.value), str(info.value)))
        coro.close()
    python, native = outcomes
    assert native == python


def test_a_deep_chain_of_awaits_raises_recursion_error():
    chain = python_awaiting(suspended_once())
    for _ in range(100_000):  # far more levels than the C stack holds
        chain = _bridge._await_each([chain])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the levels never reached were never awaited
        with pytest.raises(RecursionError):
            chain.send(None)
        del chain
        gc.collect()


@pytest.mark.parametrize("make", [python_awaiting, lambda inner: _bridge._await_each([inner])], ids=["python", "native"])
def test_an_abandoned_coroutine_cleans_up_after_its_weak_references_died(make):
    seen = []

    @types.coroutine
    def suspended():
        try:
            yield
        finally:
            seen.append(ref())

    coro = make(suspended())
    coro.send(None)
    ref = weakref.ref(coro)
    del coro
    gc.collect()
    assert seen == [None]


@pytest.mark.parametrize("cls", [_bridge.NativeCoroutine, _bridge.NativeFunction])
@pytest.mark.parametrize(
    "make", [lambda cls: cls(), lambda cls: cls.__new__(cls), lambda cls: object.__new__(cls)],
    ids=["call", "__new__", "object.__new__"],
)
def test_bridge_types_make_no_instances_from_python(cls, make):
    # Instances only exist with native state behind them.
    with pytest.raises(TypeError):
        make(cls)


def test_rebound_bridge_types_change_nothing_modules_allocate():
    # The modules look the types up once, in a fresh process; a rebound attribute must not be
    # taken for the layout they allocate.
    script = textwrap.dedent(
        """
        from orvex_cloud import _bridge
        real = _bridge.NativeCoroutine, _bridge.NativeFunction
        _bridge.NativeCoroutine = _bridge.NativeFunction = int
        from orvex_cloud import petition
        coro = _bridge._await_each([])
        assert (type(coro), type(petition._resolve_holder_key)) == real
        coro.close()
        """
    )
    run = subprocess.run([sys.executable, "-X", "dev", "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


# ---- native functions -------------------------------------------------------------------------


def test_async_native_functions_are_coroutine_functions():
    assert asyncio.iscoroutinefunction(_bridge._await_each)
    if sys.version_info >= (3, 12):
        assert inspect.iscoroutinefunction(_bridge._await_each)
    fn = _bridge._await_each
    assert fn.__name__ == "_await_each" and fn.__module__ == "orvex_cloud._bridge"
    assert repr(fn).startswith("<function _await_each at 0x")
    fn.custom = 1  # function objects carry a __dict__
    assert fn.__dict__["custom"] == 1
    del fn.custom


def test_native_function_binds_as_a_method():
    Point = _bridge._record("Point", ["x", "y"])

    class Sub(Point):
        pass

    assert Point(1, 2).values() == [1, 2]
    assert Sub(3).values() == [3, None]
    assert Point.values(Point(5)) == [5, None]  # unbound access through the class


# ---- records ----------------------------------------------------------------------------------


def test_records_are_host_dataclasses():
    Secretive = _bridge._record("Secretive", ["name", "size", "token"])
    a, b = Secretive("n", 1, "hidden"), Secretive("n", 1, "hidden")
    assert dataclasses.is_dataclass(Secretive)
    assert a == b and a != Secretive("n", 2, "hidden")
    assert repr(a) == "Secretive(name='n', size=1)"
    assert [f.name for f in dataclasses.fields(Secretive)] == ["name", "size", "token"]
    assert dataclasses.replace(a, size=9).size == 9
    assert Secretive.__module__ == "orvex_cloud._bridge" and Secretive.__qualname__ == "Secretive"
    with pytest.raises(TypeError):
        Secretive()  # first field is required


def test_frozen_records_refuse_assignment_and_hash():
    Frozen = _bridge._record("Frozen", ["x"], frozen=True)
    item = Frozen(1)
    with pytest.raises(dataclasses.FrozenInstanceError):
        item.x = 2
    assert hash(item) == hash(Frozen(1))
