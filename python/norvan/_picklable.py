"""Methods of the extension's classes made Python functions, so that their bound methods pickle.

A bound method of an extension class (``verifier.verify_file``) pickles with pickle, but
cloudpickle, which Dask bags and delayed, Ray and loky use, takes it apart into the function and
the instance, and the extension's function does not pickle. A Python function that calls it,
found under the class by its qualified name, pickles by reference everywhere.
"""

import functools


def _calling(native, cls, name):
    @functools.wraps(native)
    def method(self, *args, **kwargs):
        return native(self, *args, **kwargs)

    method.__module__ = cls.__module__
    method.__qualname__ = f"{cls.__qualname__}.{name}"
    return method


def make_methods_picklable(cls, *names):
    for name in names:
        setattr(cls, name, _calling(cls.__dict__[name].__func__, cls, name))
