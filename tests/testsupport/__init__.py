"""What the tests share besides fixtures (those are in conftest.py). A name of its own: a module
a test writes for the kit to import in-process (a metric's helpers.py) must not find its name
taken in sys.modules.

    module     the built module's path, and a loader of fresh copies of it
    sealing    a small producer of the encrypted inputs, independent of the module and the kit
    literal    the test loop written out in plain Python and pandas: the oracle of the loop tests
    checks     assertions about the protocol's refusals
    kit        the kit's command line, run in-process
    profiles   the hypothesis profiles, and the example counts scaled by the one loaded
"""
