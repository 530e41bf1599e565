// Everything the reader's kernel source uses, included before any target
// region so that nothing defined here is compiled for one instruction set only.
#pragma once
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/base/varint.hpp"
#include "core/read/byte_class.hpp"
#include "core/read/parser.hpp"
#include "core/base/core_error.hpp"
#include "core/text/references.hpp"
#include "core/text/white_space.hpp"
#include "core/tree/arena.hpp"
#include "core/tree/attr_index.hpp"
#include "core/tree/node.hpp"
#include "core/tree/node_builder.hpp"
