"""A first look at _py_vorn."""

import _py_vorn

print(_py_vorn.__doc__)
