#include "mapping/graph_utils.h"

#include <gtest/gtest.h>

#include "support/mapping_fakes.h"

namespace ovrix {
namespace {

using mapping_testing::connect;
using mapping_testing::FakeLayer;
using mapping_testing::make_layer;
using L = std::shared_ptr<FakeLayer>;

LayerList list(std::initializer_list<L> layers) { return LayerList(layers.begin(), layers.end()); }

std::vector<std::string> names(const LayerList& layers) {
  std::vector<std::string> out;
  for (const auto& l : layers) out.push_back(l ? l->get_name() : "null");
  return out;
}

L input() { return make_layer("input", LayerType::InputData); }
L cnp(const std::string& name) { return make_layer(name, LayerType::Conv2D); }
L add(const std::string& name) { return make_layer(name, LayerType::Add); }

// input -> a -> b -> c
struct Chain {
  Chain() : in(input()), a(cnp("a")), b(cnp("b")), c(make_layer("c", LayerType::Dense1D)) {
    connect(in, a);
    connect(a, b);
    connect(b, c);
  }
  L in, a, b, c;
};

// input -> a -> b -> add <- input (skip); add -> c -> d
struct Residual {
  Residual() : in(input()), a(cnp("a")), b(cnp("b")), sum(add("add")), c(cnp("c")), d(cnp("d")) {
    connect(in, a);
    connect(a, b);
    connect(b, sum);
    connect(in, sum);
    connect(sum, c);
    connect(c, d);
  }
  L in, a, b, sum, c, d;
};

// input -> a, input -> b; a, b -> concat -> c
struct Concat {
  Concat() : in(input()), a(cnp("a")), b(cnp("b")), cat(make_layer("concat", LayerType::Concatenate)), c(cnp("c")) {
    connect(in, a);
    connect(in, b);
    connect(a, cat);
    connect(b, cat);
    connect(cat, c);
  }
  L in, a, b, cat, c;
};

TEST(LayerDepth, ChainAndResidual) {
  Chain chain;
  DepthMemo memo;
  EXPECT_EQ(get_layer_depth(chain.c, &memo), 4u);
  EXPECT_EQ(memo.count(chain.in), 0u);  // an input layer is never stored
  EXPECT_EQ(memo.at(chain.a), 2u);

  Residual r;
  DepthMemo m;
  EXPECT_EQ(get_layer_depth(r.in, &m), 1u);
  EXPECT_EQ(get_layer_depth(r.a, &m), 2u);
  EXPECT_EQ(get_layer_depth(r.b, &m), 3u);
  EXPECT_EQ(get_layer_depth(r.sum, &m), 3u);  // a skip-DMA layer adds nothing
  EXPECT_EQ(get_layer_depth(r.c, &m), 4u);
  // The memo answers first, whatever the graph says now.
  m[r.c] = 42;
  EXPECT_EQ(get_layer_depth(r.c, &m), 42u);
}

TEST(LayerDepth, SortIsStable) {
  Concat g;
  LayerList layers = list({g.c, g.b, g.cat, g.a, g.in});
  sort_by_depth(&layers);
  EXPECT_EQ(names(layers), (std::vector<std::string>{"input", "b", "concat", "a", "c"}));
}

TEST(GraphShape, SplitsMergesAndBranches) {
  Residual r;
  EXPECT_TRUE(is_split_layer(r.in));
  EXPECT_FALSE(is_split_layer(r.a));
  EXPECT_TRUE(is_merge(r.c));
  EXPECT_FALSE(is_merge(r.b));    // first inbound is not a skip-DMA layer
  EXPECT_FALSE(is_merge(r.sum));  // not a CNP layer
  EXPECT_FALSE(is_dual_output_layer(r.c));

  const auto [first, second] = get_skipconnect_branch(r.in);
  EXPECT_EQ(names(first), (std::vector<std::string>{"a", "b", "add", "c", "d"}));
  EXPECT_EQ(names(second), (std::vector<std::string>{"add", "c", "d"}));
  EXPECT_TRUE(get_skipconnect_branch(r.d).first.empty());

  // Three outbound layers: no second branch.
  L s = cnp("s"), x = cnp("x"), y = cnp("y"), z = cnp("z");
  connect(s, x);
  connect(s, y);
  connect(s, z);
  const auto three = get_skipconnect_branch(s);
  EXPECT_EQ(names(three.first), (std::vector<std::string>{"x"}));
  EXPECT_TRUE(three.second.empty());
}

TEST(GraphShape, DeeperBranchComesFirst) {
  // s -> add directly and s -> a -> b -> add: the branch through b reaches the merge deeper.
  L s = cnp("s"), a = cnp("a"), b = cnp("b"), sum = add("add"), c = cnp("c");
  connect(s, sum);
  connect(s, a);
  connect(a, b);
  connect(b, sum);
  connect(sum, c);
  const auto [first, second] = get_skipconnect_branch(s);
  EXPECT_EQ(names(first), (std::vector<std::string>{"a", "b", "add", "c"}));
  EXPECT_EQ(names(second), (std::vector<std::string>{"add", "c"}));
}

TEST(GraphShape, FirstCommonLayer) {
  Residual r;
  EXPECT_EQ(first_common_layer(list({r.a, r.b, r.sum, r.c}), list({r.sum, r.c})), r.sum);
  EXPECT_EQ(first_common_layer(list({r.a}), list({})), nullptr);
  EXPECT_EQ(first_common_layer(list({r.a, r.b}), list({r.c, r.d})), nullptr);  // no common layer
}

TEST(GraphShape, LayersToMapTogether) {
  Chain chain;
  EXPECT_EQ(names(get_layers_to_map_together(list({chain.in, chain.a, chain.b, chain.c}))),
            (std::vector<std::string>{"input"}));
  EXPECT_EQ(names(get_layers_to_map_together(list({chain.a, chain.b}))), (std::vector<std::string>{"a"}));
  Residual r;
  EXPECT_EQ(names(get_layers_to_map_together(list({r.in, r.a, r.b, r.sum, r.c, r.d}))),
            (std::vector<std::string>{"input", "a", "b", "add", "c"}));
  EXPECT_EQ(names(get_layers_to_map_together(list({r.in, r.a, r.b}))), (std::vector<std::string>{"input", "a", "b"}));
  EXPECT_TRUE(get_layers_to_map_together({}).empty());
}

TEST(MappableLayers, Chain) {
  Chain chain;
  EXPECT_EQ(first_mappable_layer(list({chain.in, chain.a, chain.b, chain.c})), chain.a);
  EXPECT_EQ(last_mappable_layer(list({chain.in, chain.a, chain.b, chain.c})), chain.c);
  EXPECT_EQ(first_mappable_layer(list({chain.in})), nullptr);
  EXPECT_EQ(first_mappable_layer(list({chain.b})), chain.b);
  EXPECT_EQ(next_mappable_layer(chain.a), chain.b);
  EXPECT_EQ(next_mappable_layer(chain.c), nullptr);
  EXPECT_EQ(previous_mappable_layer(chain.b), chain.a);
  EXPECT_EQ(previous_mappable_layer(chain.a), chain.in);
  EXPECT_EQ(previous_mappable_layer(chain.in), nullptr);
  EXPECT_FALSE(layer_need_load_dma(chain.b));
  EXPECT_FALSE(layer_need_store_dma(chain.b));
  EXPECT_EQ(get_out_branches_count(list({chain.a, chain.b, chain.c})), 0);
  EXPECT_EQ(get_out_branches_count(list({chain.a, chain.b})), 1);
  EXPECT_EQ(get_out_branches_count({}), 0);
}

TEST(MappableLayers, Residual) {
  Residual r;
  EXPECT_EQ(get_mappable_layer(r.sum), r.c);
  EXPECT_EQ(get_mappable_layer(r.b), r.b);
  EXPECT_EQ(next_mappable_layer(r.b), r.c);
  EXPECT_EQ(previous_mappable_layer(r.c), r.b);  // a merge: the deepest source of the Add
  EXPECT_TRUE(layer_need_load_dma(r.c));
  EXPECT_TRUE(is_skip_layer(r.in));  // the short branch's source
  EXPECT_FALSE(is_skip_layer(r.b));
  EXPECT_TRUE(layer_need_store_dma(r.in));
  EXPECT_FALSE(layer_need_store_dma(r.a));
  EXPECT_EQ(first_mappable_layer(list({r.in, r.sum})), nullptr);
  EXPECT_EQ(last_mappable_layer(list({r.in, r.a, r.b, r.sum, r.c})), r.c);
  EXPECT_EQ(get_out_branches_count(list({r.in, r.a, r.b, r.sum, r.c})), 1);
  EXPECT_EQ(get_out_branches_count(list({r.in, r.a})), 2);
}

TEST(MappableLayers, Concatenation) {
  Concat g;
  EXPECT_EQ(get_mappable_layer(g.cat), g.c);
  // Equal depths, same meeting point: the first candidate stays.
  EXPECT_EQ(first_mappable_layer(list({g.a, g.b})), g.a);
  EXPECT_EQ(first_mappable_layer(list({g.b, g.a})), g.b);
  EXPECT_EQ(last_mappable_layer(list({g.a, g.b})), g.b);
  EXPECT_EQ(next_mappable_layer(g.in), g.a);
  EXPECT_TRUE(is_skip_layer(g.a));
  EXPECT_FALSE(is_skip_layer(g.b));
  EXPECT_TRUE(is_merge(g.c));
  EXPECT_TRUE(layer_need_load_dma(g.c));
  EXPECT_EQ(previous_mappable_layer(g.c), g.b);
  DepthMemo memo;
  EXPECT_TRUE(is_alt_layer(g.in, &memo));
  EXPECT_FALSE(is_alt_layer(g.a, &memo));
}

TEST(MappableLayers, BranchChoicePrefersTheDeeperPath) {
  // s -> a -> add and s -> b -> m -> add: from the two candidates a and b (same depth) the branch
  // through m reaches the merge deeper, so b comes first.
  L s = cnp("s"), a = cnp("a"), b = cnp("b"), m = cnp("m"), sum = add("add"), c = cnp("c");
  connect(s, a);
  connect(s, b);
  connect(a, sum);
  connect(b, m);
  connect(m, sum);
  connect(sum, c);
  EXPECT_EQ(first_mappable_layer(list({a, b})), b);
  EXPECT_EQ(first_mappable_layer(list({b, a})), b);
  EXPECT_EQ(next_mappable_layer(s), b);
  EXPECT_TRUE(is_skip_layer(a));
}

TEST(MappableLayers, DualOutputToStoreDma) {
  // add1 feeds both the next block's first CNP (c1) and the next Add (add2): c1 is a dual-output merge.
  L s = cnp("s"), a = cnp("a"), add1 = add("add1"), c1 = cnp("c1"), c2 = cnp("c2"), add2 = add("add2"), c3 = cnp("c3");
  connect(s, a);
  connect(a, add1);
  connect(s, add1);
  connect(add1, c1);
  connect(add1, add2);
  connect(c1, c2);
  connect(c2, add2);
  connect(add2, c3);
  EXPECT_TRUE(is_merge(c1));
  EXPECT_TRUE(is_dual_output_layer(c1));
  EXPECT_TRUE(is_dual_output_to_store_dma(c1));  // c1 and c3 lie at different depths
  EXPECT_TRUE(layer_need_store_dma(c1));
  EXPECT_FALSE(is_dual_output_to_store_dma(c2));
  // A temporal layer needs both engines.
  L t = make_layer("t", LayerType::BufferTempConv);
  EXPECT_TRUE(layer_need_load_dma(t));
  EXPECT_TRUE(layer_need_store_dma(t));
}

TEST(GraphShape, LongResidualChainsStayCheap) {
  // 100 residual blocks: every block's source splits in two, which a branch walk without memory
  // would revisit 2^100 times.
  L source = cnp("c0");
  const L first = source;
  for (int k = 0; k < 100; ++k) {
    // Names built by appending: GCC 12 warns (-Wrestrict) on "literal" + std::string falsely.
    const auto named = [k](const char* prefix) { return std::string(prefix).append(std::to_string(k)); };
    L a = cnp(named("a")), b = cnp(named("b")), sum = add(named("add"));
    connect(source, a);
    connect(a, b);
    connect(b, sum);
    connect(source, sum);
    source = sum;
  }
  L tail = cnp("tail");
  connect(source, tail);
  const auto [branch, skip] = get_skipconnect_branch(first);
  EXPECT_EQ(branch.size(), 301u);
  EXPECT_EQ(branch.front()->get_name(), "a0");
  EXPECT_EQ(branch.back()->get_name(), "tail");
  EXPECT_EQ(skip.front()->get_name(), "add0");
  EXPECT_EQ(next_mappable_layer(first), first->outbound_layers().front());
}

}  // namespace
}  // namespace ovrix
