// The class's documentation, byte for byte. Each method's text starts with
// its signature line and "--", from which the interpreter derives
// __text_signature__; the rest becomes __doc__. No text ends in a newline.
#pragma once

namespace quorvex::docs {

inline constexpr char class_doc[] = "QuorDict(dict)\n--\n\n";

inline constexpr char add_scalar[] = R"doc(add_scalar($self, value)
--

Adds a scalar value (single value) to every value in the dictionary.

# Examples

```python
>>> d = qv.QuorDict({"a": 1.0, "b": 2.0})
>>> d.add_scalar(10.0).to_dict
{'a': 11.0, 'b': 12.0}
```)doc";

inline constexpr char add[] = R"doc(add($self, other, fill=0.0)
--

Adds values (d1 + d2), aligned on d1s keys. Only keys from d1 are
considered, if key from d1 is absent from d2, a fill value can optionally
be used as the argument for +.

# Examples

```python
>>> d1 = qv.QuorDict({"a": 1.0, "b": 2.0})
>>> d2 = qv.QuorDict({"b": 10.0})
>>> d1.add(d2).to_dict
{'a': 1.0, 'b': 12.0}
>>> d1.add(d2, fill=5.0).to_dict
{'a': 6.0, 'b': 12.0}
```)doc";

inline constexpr char subtract_scalar[] = R"doc(subtract_scalar($self, value)
--

Subtracts a scalar value (single value) to every value in the dictionary.

# Examples

```python
>>> d = qv.QuorDict({"a": 5.0, "b": 10.0})
>>> d.subtract_scalar(3.0).to_dict
{'a': 2.0, 'b': 7.0}
```)doc";

inline constexpr char subtract[] = R"doc(subtract($self, other, fill=0.0)
--

Subtracts values (d1 - d2), aligned on d1s keys. Only keys from d1 are
considered, if key from d1 is absent from d2, a fill value can optionally
be used as the argument for -.

# Examples

```python
>>> d1 = qv.QuorDict({"a": 10.0, "b": 5.0})
>>> d2 = qv.QuorDict({"b": 2.0})
>>> d1.subtract(d2).to_dict
{'a': 10.0, 'b': 3.0}
```)doc";

inline constexpr char multiply_scalar[] = R"doc(multiply_scalar($self, value)
--

Multiplies a scalar value (single value) to every value in the dictionary.

# Examples

```python
>>> d = qv.QuorDict({"a": 2.0, "b": 5.0})
>>> d.multiply_scalar(3.0).to_dict
{'a': 6.0, 'b': 15.0}
```)doc";

inline constexpr char multiply[] = R"doc(multiply($self, other, fill=1.0)
--

Multiplies values (d1 * d2), aligned on d1s keys. Only keys from d1 are
considered, if key from d1 is absent from d2, a fill value can optionally
be used as the argument for *.

# Examples

```python
>>> d1 = qv.QuorDict({"a": 2.0, "b": 3.0})
>>> d2 = qv.QuorDict({"b": 10.0})
>>> d1.multiply(d2).to_dict
{'a': 2.0, 'b': 30.0}
```)doc";

inline constexpr char divide_scalar[] = R"doc(divide_scalar($self, value)
--

Divides a scalar value (single value) to every value in the dictionary.

# Examples

```python
>>> d = qv.QuorDict({"a": 10.0, "b": 6.0})
>>> d.divide_scalar(2.0).to_dict
{'a': 5.0, 'b': 3.0}
```)doc";

inline constexpr char divide[] = R"doc(divide($self, other, fill=1.0)
--

Divides values (d1 / d2), aligned on d1s keys. Only keys from d1 are
considered, if key from d1 is absent from d2, a fill value can optionally
be used as the argument for /.

# Examples

```python
>>> d1 = qv.QuorDict({"a": 10.0, "b": 6.0})
>>> d2 = qv.QuorDict({"b": 2.0})
>>> d1.divide(d2).to_dict
{'a': 10.0, 'b': 3.0}
```)doc";

inline constexpr char sum[] = R"doc(sum($self)
--

Sum of values.

# Examples

```python
>>> d = qv.QuorDict({"a": 1.0, "b": 2.0, "c": 3.0})
>>> d.sum()
6.0
```)doc";

inline constexpr char product[] = R"doc(product($self)
--

Product of values.

# Examples

```python
>>> d = qv.QuorDict({"a": 2.0, "b": 3.0, "c": 4.0})
>>> d.product()
24.0
```)doc";

inline constexpr char reset[] = R"doc(reset($self, value)
--

Sets all values to passed in value

# Examples

```python
>>> d = qv.QuorDict({"a": 1.0, "b": 2.0})
>>> d.reset(99.0).to_dict
{'a': 99.0, 'b': 99.0}
```)doc";

inline constexpr char to_dict[] = R"doc(Returns the underlying dictionary.

# Examples

```python
>>> d = qv.QuorDict({"x": 42.0})
>>> d.to_dict
{'x': 42.0}
```)doc";

}  // namespace quorvex::docs
