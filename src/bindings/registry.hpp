// A binding is one row: its Python name, its shape, and whether the module publishes it through
// adapt_to_python3. Domain sources only define rows; the exec step binds them in the module's one
// global order (module/order.cpp), whichever source a row comes from.
#pragma once
#include <cstddef>

#include "bindings/shapes.hpp"

namespace csdk {

enum class publish : bool { plain, decorated };
inline constexpr publish plain = publish::plain;
inline constexpr publish decorated = publish::decorated;

struct row {
    const char* name;
    shapes::shape shape;
    publish how;
};

struct row_list {
    const row* rows;
    std::size_t count;
};

template <std::size_t N>
constexpr row_list rows_of(const row (&rows)[N]) noexcept { return {rows, N}; }

// One list per domain source.
extern const row_list config_rows;
extern const row_list trading_rows;
extern const row_list market_rows;
extern const row_list stock_rows;
extern const row_list reference_rows;
extern const row_list event_rows;

// The binding names in namespace order (positions 16 to 196).
extern const char* const binding_order[];
extern const std::size_t binding_order_size;

}  // namespace csdk
