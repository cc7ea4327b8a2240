"""Loading the extension: interpreter version, docstring, sub-interpreters."""

import subprocess
import sys
import textwrap

import _py_vorn


def test_loads_into_python_3_14_with_its_docstring():
    assert sys.version_info[:2] == (3, 14)
    assert _py_vorn.__doc__ == "Python bindings for the VORN STL and stdout loggers"


def test_refuses_to_load_into_a_sub_interpreter():
    # A fresh interpreter: creating sub-interpreters is process-wide business.
    code = textwrap.dedent(
        """
        from concurrent import interpreters
        interp = interpreters.create()
        try:
            interp.exec("import _py_vorn")
        except interpreters.ExecutionFailed as failure:
            print(failure.excinfo.type.__name__)
            print(failure.excinfo.msg)
        else:
            print("imported")
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    kind, _, message = result.stdout.partition("\n")
    assert kind == "ImportError", result.stdout
    assert "_py_vorn" in message or "interpreter" in message
