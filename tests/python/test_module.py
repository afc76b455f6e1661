"""The module surface: initialisation, registration order, constants, aliases."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import pyostrel

CLASSES = [
    "StructValue", "Field", "IndexMeta", "IndexSchema", "IndexSerializer", "PyIndexDataMap", "Commission",
    "MarketStatus", "LanterfoldCategory", "KestrinConfig", "KestrinStructValueKey", "MarketMeta", "MarketInfo",
    "RawFrameReader", "NetHeader", "Keepalive", "TCHistoricalReq", "TCHistoricalRes", "TCDataCommunication",
    "StructValueKey", "TCInitialize", "TCMarketStatus", "TCComplete", "UniverseIn", "UniverseInImport",
    "SecuritySelector", "UniverseOut", "UniverseOutExport", "UniverseOutExportDef", "UniverseOutSubAccount",
    "UniverseOutSampleGranularity", "SamplerConfiguration", "NetPackage", "ATUniverseReq", "ATUniverseRes",
    "BacktestParams", "ATStartBacktestReq", "ATStartBacktestRes", "ATControlBacktestReq", "ATControlBacktestRes",
    "ATAccountEditReq", "ATAccountAddReq", "ATAccountAddRes", "ATAccountChangeCapitalReq",
    "ATAccountChangeCapitalRes", "ATAccountEditRes", "TAMarketStatusNotification", "ProgressRes", "LogRes",
    "ATFetchByCodeReq", "ATFetchByTimeReq", "ATUniverseSeedsReq", "ATFetchSVRes", "ATUniverseSeedsRes",
    "ATManualTradeReq", "ATManualTradeEditReq", "ATManualTradeRes", "DRMarketStatus", "DRPushStartReq",
    "DRPushStartRes", "DRPushStopReq", "DRPushStopRes", "DRBinaryPushDataReq", "DRSamplerPushDataReq",
    "DRReportMarketMetaReq", "NetRequest", "NetResponse", "NetBaseRequest", "NetBaseResponse",
    "HistoryErrorResponse", "ATSubscribeReq", "ATUnsubscribeReq",
]
NO_CONSTRUCTOR = {"Field", "IndexMeta", "MarketMeta", "PyIndexDataMap"}
FUNCTIONS = [
    "next_market_break_time", "next_market_continue_time", "equivalant_market_time", "tradeday_sections",
    "sampler_tm_bound", "sampler_tm_begin", "calculate_market_status", "calculate_market_status_include_weekend",
    "this_tradeday_sections", "initialize", "start", "stop", "read_meta", "read_sv", "copy_struct_value", "write_sv",
    "load_market_meta_from_json_str", "encode_raw_frame",
]
LIST_ALIASES = [
    "StructValueVector", "IndexMetaVector", "FieldVector", "Int32Vector", "Int64Vector", "Uint32Vector",
    "DoubleVector", "StringVector", "Int32PairVector", "SecuritySelectorVector", "UniverseOutExportDefVector",
    "UniverseOutSubAccountVector", "StructValueKeyValueVector", "MarketMetaVector",
]
DICT_ALIASES = [
    "Int32PairVectorMap", "StringToStringVector", "StringToSetOfStringMap", "StringToSetOfUint32Map",
    "UniverseInMap", "UniverseOutMap", "UniverseOutExportMap", "ImportsMap", "Int32StringMap",
    "Uint32ToByteArrayMap", "StructValueKeyToSetOfUint32Map", "StructValueKeyToSetOfStructValueKeyMap",
    "MarketCategoryMap", "MarketSecurityMap",
]
SET_ALIASES = ["Uint32Set", "StringSet"]
MARKERS = [
    "TCError", "TCLog", "TCReady", "ATBaseResponse", "ATCalFormulaRes", "ATCalFormulaRTRes", "ATRegFormulaRes",
    "ATSubscribeOrderRes", "ATSubscribeRes", "ATSubscribeSVRes", "DRCoverUpReq",
]


def public_names():
    return [n for n in vars(pyostrel) if not n.startswith("__")]


def constants():
    return {n: v for n, v in vars(pyostrel).items() if type(v) is int}


def test_reimport_returns_the_same_module_without_registering_again():
    first = sys.modules.pop("pyostrel")
    first.sentinel_attribute = 1  # a second registration would not carry it over
    try:
        again = importlib.import_module("pyostrel")
        assert again is first
        assert again.sentinel_attribute == 1
    finally:
        del first.sentinel_attribute
        sys.modules["pyostrel"] = first


def test_second_interpreter_is_refused():
    # Sub-interpreters are reachable from Python only through a private module.
    interpreters = pytest.importorskip("_xxsubinterpreters")
    try:
        # From 3.12 the default interpreter is isolated and refuses the module
        # before its own check runs; a legacy one reaches that check.
        interp = interpreters.create(isolated=False)
    except TypeError:
        interp = interpreters.create()
    try:
        code = textwrap.dedent(f"""
            import sys
            sys.path[:0] = {sys.path!r}
            try:
                import pyostrel
            except ImportError as e:
                assert 'sub-interpreters' in str(e), e
            else:
                raise AssertionError('imported in a second interpreter')
        """)
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


def test_module_docstring_and_types_belong_to_pyostrel():
    assert "constants" in pyostrel.__doc__
    for name in CLASSES:
        cls = getattr(pyostrel, name)
        assert cls.__module__ == "pyostrel" and cls.__qualname__ == name
        if name in NO_CONSTRUCTOR:
            with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
                cls()
        else:
            assert type(cls()) is cls


def test_constant_count_and_order():
    values = constants()
    assert len(values) == 105
    names = list(values)
    # The registration sequence groups the constants; check the group boundaries.
    assert names[:2] == ["namespace_global", "namespace_private"]
    assert names.index("entrust_oc_open") < names.index("FLOOR") < names.index("market_state_open")
    assert names.index("market_state_tick") < names.index("lanterfold_category_sampler")
    ring = names.index("network_magic_num")
    assert names[ring + 1:ring + 3] == ["net_cmd_vask_route_prote_clientid", "cmd_at_start_backtest"]
    assert names[ring + 2 + 33] == "net_cmd_vask_route_datadef"
    assert names[-2:] == ["pellum_push_type_live", "pellum_push_type_historical"]
    assert names.index("sample_granularity_type_enum") < names.index("cmd_dt_market_status")


def test_constant_spot_values():
    p = pyostrel
    assert p.network_magic_num == 0x75F4C465
    assert p.net_cmd_vask_route_datadef == 0x6668
    assert p.cmd_at_account_change_capital == 0x502A
    assert p.cmd_td_push_start == 0x1005
    assert p.entrust_direction_sell == ord("1")
    assert p.control_backteset_operation_deploy == p.control_backtest_operation_deploy == 0
    assert p.account_edit_operation_check_strategy == 10
    assert (p.FLOOR, p.CEIL, p.ROUND) == (0, 1, 2)
    assert p.data_type_vint_64 == p.index_field_type_vint_64 == 8
    for name, value in constants().items():
        if name.startswith(("cmd_", "net_cmd_")):
            assert 0 < value < 0x8000, name
    assert not any(hasattr(p, "cmd_at_0x%x" % v) for v in (0x5013, 0x5016))


def test_registration_order_of_classes_functions_and_aliases():
    aliases = LIST_ALIASES + DICT_ALIASES + SET_ALIASES + MARKERS
    consts = constants()
    # Every class and function by name; a run of constants or of alias types as one step.
    steps = []
    for name in public_names():
        step = "<constants>" if name in consts else "<aliases>" if name in aliases else name
        if not (steps and step == steps[-1] and step.startswith("<")):
            steps.append(step)
    c, f = CLASSES, FUNCTIONS
    # DRPushStartRes keeps the place its marker took among the aliases when the class replaced it.
    later = [n for n in c[16:65] if n != "DRPushStartRes"]
    assert steps == [c[0], "<constants>", *c[1:7], "<constants>", *f[:6], "<constants>", c[7], *f[6:9],
                     "<constants>", c[8], "<constants>", c[9], c[10], *f[9:16], c[11], c[12], *f[16:], *c[13:16], "<constants>",
                     "<aliases>", "DRPushStartRes", *later, "<constants>", *c[65:]]
    assert [n for n in public_names() if n in aliases] == aliases


def test_no_exception_classes_exported():
    exported = [v for v in vars(pyostrel).values() if isinstance(v, type) and issubclass(v, BaseException)]
    assert exported == []


def test_alias_containers_behave_like_their_bases():
    v = pyostrel.StructValueVector()
    assert isinstance(v, list) and v.empty() is True
    v.push_back(1)
    assert v.size() == 1 and v.empty() is False and v == [1]
    s = pyostrel.Uint32Set()
    s.insert(3)
    s.insert(3)
    assert s == {3} and s.size() == 1
    d = pyostrel.StringToStringVector()
    assert isinstance(d, dict) and d.empty()
    d[b"k"] = b"v"
    assert d.size() == 1
    # One function object per lambda, shared by every alias type.
    assert pyostrel.Int32Vector.push_back is pyostrel.MarketMetaVector.push_back
    assert pyostrel.Int32Vector.size is pyostrel.ImportsMap.size is pyostrel.StringSet.size
    assert pyostrel.TCError.__bases__ == (object,) and vars(pyostrel.TCError).keys() <= {
        "__module__", "__dict__", "__weakref__", "__doc__"}


def test_signatures_are_introspectable():
    assert str(inspect.signature(pyostrel.encode_raw_frame)) == "(cmd, seq, body, version=4, flag=0)"
    assert str(inspect.signature(pyostrel.NetHeader.decode)) == "(self, /, buf, len)"
    assert str(inspect.signature(pyostrel.NetPackage.get_cmd)) == "(self, /)"


def test_only_the_init_function_is_exported():
    so = pyostrel.__file__
    out = subprocess.run(["nm", "-D", "--defined-only", so], capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip("nm not available")
    symbols = [line.split()[-1] for line in out.stdout.splitlines()
               if line.split()[1:2] in (["T"], ["D"], ["B"], ["W"], ["V"])]
    assert symbols == ["PyInit_pyostrel"]


def test_failed_initialisation_caches_nothing_and_can_be_retried():
    # Make the alias step fail part-way through; the next import must start over.
    code = textwrap.dedent("""
        import builtins, sys
        real_type = builtins.type
        def failing_type(*args):
            if len(args) == 3 and args[0] == "Int64Vector":
                raise LookupError("injected")
            return real_type(*args)
        builtins.type = failing_type
        try:
            import pyostrel
        except LookupError:
            pass
        else:
            raise AssertionError("import succeeded")
        finally:
            builtins.type = real_type
        assert "pyostrel" not in sys.modules
        import pyostrel
        assert pyostrel.Int64Vector().empty() and pyostrel.NetHeader().get_seq() == 0
        again = pyostrel
        del sys.modules["pyostrel"]
        import pyostrel
        assert pyostrel is again
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
