import pytest

from ovrix import core

gu = core.graph_utils
LayerType = core.LayerType

INPUT = {"input_width": 8, "input_height": 8, "input_channels": 4, "input_bits": 8, "input_signed": 0}
CONV = {"kernel_size": 3, "kernel_stride": 1, "padding": 1, "filters": 4, "weights_bits": 4, "activation": 1}


def layer(kind, name):
    entries = {LayerType.InputData: INPUT, LayerType.Conv2D: CONV}.get(kind, {})
    return core.Layer(core.LayerParams(kind, entries), name)


class Graph:
    """A model built from (kind, name, inbound names) rows; layers are looked up by name."""

    def __init__(self, rows):
        self.model = core.Model()
        self.layers = {}
        for kind, name, inbounds in rows:
            new = layer(kind, name)
            self.model.add(new, [self.layers[i] for i in inbounds])
            self.layers[name] = new

    def __getitem__(self, name):
        return self.layers[name]


def names(layers):
    return [lay.name for lay in layers]


def name(lay):
    return None if lay is None else lay.name


CHAIN = [
    (LayerType.InputData, "input", []),
    (LayerType.Conv2D, "c1", ["input"]),
    (LayerType.Conv2D, "c2", ["c1"]),
    (LayerType.Conv2D, "c3", ["c2"]),
]
# Two residual blocks: the second Add takes the first Add's output as its skip input.
RESIDUAL = [
    (LayerType.InputData, "input", []),
    (LayerType.Conv2D, "a", ["input"]),
    (LayerType.Add, "add1", ["a", "input"]),
    (LayerType.Conv2D, "c", ["add1"]),
    (LayerType.Add, "add2", ["c", "add1"]),
    (LayerType.Conv2D, "e", ["add2"]),
]
CONCAT = [
    (LayerType.InputData, "input", []),
    (LayerType.Conv2D, "a", ["input"]),
    (LayerType.Conv2D, "b", ["input"]),
    (LayerType.Concatenate, "cat", ["a", "b"]),
    (LayerType.Conv2D, "c", ["cat"]),
]
GRAPHS = {"chain": CHAIN, "residual": RESIDUAL, "concat": CONCAT}


@pytest.fixture(params=list(GRAPHS))
def graph(request):
    return request.param, Graph(GRAPHS[request.param])


BRANCHES = {
    ("chain", "input"): (["c1", "c2", "c3"], []),
    ("chain", "c3"): ([], []),
    ("residual", "input"): (["a", "add1", "c", "add2", "e"], ["add1", "c", "add2", "e"]),
    ("residual", "add1"): (["c", "add2", "e"], ["add2", "e"]),
    ("residual", "c"): (["add2", "e"], []),
    ("concat", "input"): (["a", "cat", "c"], ["b", "cat", "c"]),
    ("concat", "b"): (["cat", "c"], []),
}


@pytest.mark.parametrize("key", list(BRANCHES))
def test_branches(key):
    graph = Graph(GRAPHS[key[0]])
    main, skip = BRANCHES[key]
    assert names(gu.extract_main_branch(graph[key[1]])) == main
    assert names(gu.extract_skip_branch(graph[key[1]])) == skip


# (graph, function, argument, expected layer name or bool): the graph rules themselves are the C++ suite's;
# these rows show each binding hands back the model's layer, None or a bool.
SINGLE = [
    ("chain", gu.get_mappable_layer, "c2", "c2"),
    ("chain", gu.next_mappable_layer, "c1", "c2"),
    ("chain", gu.next_mappable_layer, "c3", None),
    ("chain", gu.previous_mappable_layer, "input", None),
    ("residual", gu.get_mappable_layer, "add1", "c"),
    ("residual", gu.next_mappable_layer, "a", "c"),
    ("residual", gu.previous_mappable_layer, "c", "a"),
    ("residual", gu.previous_mappable_layer, "add2", "c"),
    ("residual", gu.is_merge_layer, "c", True),
    ("residual", gu.is_merge_layer, "a", False),
    ("residual", gu.is_merge_layer, "add1", False),
    ("residual", gu.dual_output_to_store_dma, "c", True),
    ("residual", gu.dual_output_to_store_dma, "e", False),
    ("concat", gu.get_mappable_layer, "cat", "c"),
    ("concat", gu.next_mappable_layer, "a", "c"),
    ("concat", gu.previous_mappable_layer, "c", "b"),
    ("concat", gu.is_merge_layer, "c", True),
]


@pytest.mark.parametrize("graph_name, function, arg, expected", SINGLE)
def test_single_layer_functions(graph_name, function, arg, expected):
    graph = Graph(GRAPHS[graph_name])
    result = function(graph[arg])
    if isinstance(expected, bool):
        assert result is expected
    else:
        assert name(result) == expected


LISTS = [
    ("chain", ["input", "c1", "c2", "c3"], "c1", "c3"),
    ("chain", ["input"], None, None),
    ("chain", ["c2"], "c2", "c2"),
    ("residual", ["input", "a", "add1", "c", "add2", "e"], "a", "e"),
    ("residual", ["input", "add1", "add2"], None, None),
    ("concat", ["a", "b"], "a", "b"),
    ("concat", ["b", "a"], "b", "a"),
    ("concat", ["input", "a", "b", "cat", "c"], "a", "c"),
]


@pytest.mark.parametrize("graph_name, members, first, last", LISTS)
def test_first_and_last_mappable_layer(graph_name, members, first, last):
    graph = Graph(GRAPHS[graph_name])
    layers = [graph[m] for m in members]
    assert name(gu.first_mappable_layer(layers)) == first
    assert name(gu.last_mappable_layer(tuple(layers))) == last


def test_empty_lists_give_none():
    assert gu.first_mappable_layer([]) is None
    assert gu.last_mappable_layer([]) is None


def test_results_are_the_models_own_layers(graph):
    _, g = graph
    main = gu.extract_main_branch(g["input"])
    assert main
    for lay in main:
        assert type(lay) is core.Layer
        assert g.model.get_layer(lay.name).name == lay.name
    nxt = gu.next_mappable_layer(g["input"])
    assert nxt.name == names(main)[0]


@pytest.mark.parametrize("function", [gu.extract_main_branch, gu.extract_skip_branch, gu.get_mappable_layer,
                                      gu.dual_output_to_store_dma, gu.next_mappable_layer, gu.previous_mappable_layer,
                                      gu.is_merge_layer])
@pytest.mark.parametrize("bad", [None, 1, "c1", [None]])
def test_single_layer_argument_refusals(function, bad):
    with pytest.raises(TypeError):
        function(bad)


@pytest.mark.parametrize("function", [gu.first_mappable_layer, gu.last_mappable_layer])
@pytest.mark.parametrize("bad", [None, 1, [None], [1], "ab"])
def test_list_argument_refusals(function, bad):
    with pytest.raises(TypeError):
        function(bad)


def test_arguments_are_positional():
    g = Graph(CHAIN)
    with pytest.raises(TypeError):
        gu.get_mappable_layer(layer=g["c1"])
