import subprocess
import sys

import pelorin


def test_docstring_and_registration_order():
    assert pelorin.__doc__ == "Bindings for Vorlake dToF library"
    names = [n for n in vars(pelorin) if not n.startswith("__")]
    registered = ["camera_manager", "camera", "create_camera_offline", "dual_depth_params",
                  "camera_sync_mode", "stream_type", "camera_output_configuration",
                  "laser_status_flags", "sensor_info", "frame_buffer", "vector_uint8",
                  "vector_uint32", "vector_float", "vector_peak_status", "vector_vector3",
                  "vector_histogram", "vector_pdc"]
    assert [n for n in names if n in registered] == registered
    # Exported enum members sit next to their enum.
    assert names.index("camera_sync_slave_mode") < names.index("stream_type")
    assert names.index("stream_ebd") < names.index("camera_output_configuration")


def test_signatures_name_python_classes():
    assert "-> pelorin.frame_buffer" in pelorin.camera.get_frame.__doc__
    assert "arg0: pelorin.stream_type" in pelorin.camera.add_stream.__doc__
    docs = [getattr(cls, name).__doc__ or "" for cls in vars(pelorin).values()
            if isinstance(cls, type) for name in dir(cls) if not name.startswith("__")]
    docs += [pelorin.create_camera_offline.__doc__]
    assert not [d for d in docs if "vorlake" in d or "std::" in d]


def test_import_in_a_subinterpreter_is_refused():
    script = (
        "import _interpreters\n"
        "interp = _interpreters.create()\n"
        "err = _interpreters.run_string(interp, 'import pelorin')\n"
        "print(err.type.__name__ if err else 'imported')\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.stdout.strip() == "ImportError", out.stderr


def test_import_needs_no_numpy():
    # numpy is imported only when an offline stream first creates an array.
    script = "import sys; sys.modules['numpy'] = None; import pelorin; print(pelorin.__doc__)"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.stdout.strip() == "Bindings for Vorlake dToF library", out.stderr
