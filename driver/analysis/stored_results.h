// A store's contents as result sets: the whole store as a sweep or a tour renders it, and
// each node's runs of a plan run whole on several nodes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/results/results.h"
#include "driver/store/store.h"

namespace ks::driver {

// The result set a store's contents render to: the summary, and for a tour its maps and its
// missing programs.
ResultSet result_set(const StoreContents& contents);
// The same from a store's head (Store::load_head) with its runs left in the store, read in
// passes as the result set is made and again as its files are written.
ResultSet result_set(const StoreContents& head, const std::shared_ptr<Store>& store);

// Everything the model needs to know about a result set: the context's ceilings, the runs'
// counters summarised per configuration, and each configuration's prediction.
void add_model_and_counters(ResultSet& results);

// Each node's runs, when every node ran the whole plan: the store's command asked for it
// (--per-node), or it holds a planned run made on two nodes or more. Empty otherwise: one
// host's sweep, or a plan shared out over the nodes.
std::vector<NodeResults> node_results(const StoreContents& contents);

// The runs of one host (a node of a per-node job) from a store's contents, as a store of their
// own: its machine context becomes the contents' context.
StoreContents host_contents(const StoreContents& all, const std::string& host);

// The hosts that ran the store's runs, in the order of their first run.
std::vector<std::string> run_hosts(const StoreContents& contents);

}  // namespace ks::driver
