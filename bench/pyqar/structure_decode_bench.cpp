// Decoding a structure of 20 fields by its definition into JSON text, as each value of a
// structure variable will be: Doubles, integers, Booleans, strings, a DateTime, an
// enumeration and a nested structure.
//   pyqar_structure_decode_bench [--benchmark_filter=...]
// Counter: time_per_value (CPU time per decoded value).
#include <benchmark/benchmark.h>

#include <fmt/format.h>

#include "ua/binary_writer.h"
#include "ua/structure_decoder.h"

namespace {

using namespace pyqar::ua;

NodeId std_type(BuiltinType t) { return NodeId::numeric_id(0, static_cast<std::uint32_t>(t)); }

StructureField field(std::string name, NodeId type) {
  return {.name = std::move(name),
          .data_type = std::move(type),
          .value_rank = -1,
          .max_string_length = 0,
          .is_optional = false};
}

void decode_twenty_fields(benchmark::State& state) {
  StructureDecoder decoder;
  decoder.add(NodeId::numeric_id(2, 1),
              EnumDefinition{.fields = {{0, "Off"}, {1, "Manual"}, {2, "Auto"}}});
  decoder.add(NodeId::numeric_id(2, 2),
              StructureDefinition{.default_encoding_id = NodeId::numeric_id(2, 1002),
                                  .base_data_type = NodeId::numeric_id(0, 22),
                                  .structure_type = StructureType::Structure,
                                  .fields = {field("Low", std_type(BuiltinType::Int32)),
                                             field("High", std_type(BuiltinType::Int32))}});
  std::vector<StructureField> fields;
  BinaryWriter w;
  for (int i = 0; i < 8; ++i) {
    fields.push_back(field(fmt::format("Measurement{}", i), std_type(BuiltinType::Double)));
    w.f64(1234.5678 * (i + 1));
  }
  for (int i = 0; i < 4; ++i) {
    fields.push_back(field(fmt::format("Counter{}", i), std_type(BuiltinType::Int32)));
    w.i32(100000 * (i + 1));
  }
  for (int i = 0; i < 2; ++i) {
    fields.push_back(field(fmt::format("Flag{}", i), std_type(BuiltinType::Boolean)));
    w.u8(static_cast<std::uint8_t>(i));
  }
  for (int i = 0; i < 2; ++i) {
    fields.push_back(field(fmt::format("Label{}", i), std_type(BuiltinType::String)));
    w.string("Line 4 filler");
  }
  fields.push_back(field("Timestamp", std_type(BuiltinType::DateTime)));
  w.i64(133500000000000000LL);
  fields.push_back(field("Mode", NodeId::numeric_id(2, 1)));
  w.i32(2);
  fields.push_back(field("Limits", NodeId::numeric_id(2, 2)));
  w.i32(0);
  w.i32(100);
  fields.push_back(field("Status", std_type(BuiltinType::UInt16)));
  w.u16(7);
  decoder.add(NodeId::numeric_id(2, 3),
              StructureDefinition{.default_encoding_id = NodeId::numeric_id(2, 1003),
                                  .base_data_type = NodeId::numeric_id(0, 22),
                                  .structure_type = StructureType::Structure,
                                  .fields = std::move(fields)});
  const ExtensionObject value{.type_id = NodeId::numeric_id(2, 1003), .body = w.take()};
  if (!decoder.decode(value).ok) {
    state.SkipWithError("the benchmark's structure does not decode");
    return;
  }
  for (auto _ : state) {
    DecodedStructure d = decoder.decode(value);
    benchmark::DoNotOptimize(d);
  }
  state.counters["time_per_value"] = benchmark::Counter(
      static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(decode_twenty_fields);

}  // namespace

BENCHMARK_MAIN();
