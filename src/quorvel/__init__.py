"""quorvel: a height-balanced ordered set of Python objects, written in C++.

``AVLTree`` keeps unique keys in ascending order.  Each value's key is the
value itself, one of its attributes (``key="name"``) or the result of a
one-argument callable (``key=len``), derived once when the value enters.
"""

from .quorvel import AVLTree, __version__

__all__ = ["AVLTree", "__version__"]
