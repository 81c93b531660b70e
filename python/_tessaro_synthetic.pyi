"""The synthetic sensor's per-frame per-frame loops (private to tessaro.synthetic)."""

import numpy as np
import numpy.typing as npt

def seen_peaks(generators: list[np.random.Generator], signal: npt.NDArray[np.float64],
               distance: npt.NDArray[np.float64], spread: npt.NDArray[np.float64],
               ambient: npt.NDArray[np.float64], min_mm: list[float], max_mm: list[float],
               bin_mm: list[float], whole: list[bool], saturation: float, sigmas: float
               ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.bool_], npt.NDArray[np.float64],
                          npt.NDArray[np.int64], npt.NDArray[np.float64], npt.NDArray[np.int64],
                          npt.NDArray[np.float64]]: ...

def histograms(generators: list[np.random.Generator], ambient: npt.NDArray[np.float64],
               zone: npt.NDArray[np.int64], height: npt.NDArray[np.float64],
               bounds: npt.NDArray[np.int64], gaussians: npt.NDArray[np.float64],
               photons: npt.NDArray[np.float64], out: npt.NDArray[np.uint32],
               pdc: npt.NDArray[np.uint32]) -> None: ...

def reported_echoes(generators: list[np.random.Generator], seen: npt.NDArray[np.bool_],
                    height: npt.NDArray[np.float64], measured: npt.NDArray[np.float64],
                    distance: npt.NDArray[np.float64], ambient: npt.NDArray[np.float64],
                    bin_mm: list[float], saturation: float, sigmas: float,
                    rays: npt.NDArray[np.float64]
                    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32],
                               npt.NDArray[np.float32], npt.NDArray[np.uint8],
                               npt.NDArray[np.float32]]: ...

def raw_frame(reference: npt.NDArray[np.uint32], line_word: npt.NDArray[np.uint32],
              histogram: npt.NDArray[np.uint32], pdc: npt.NDArray[np.uint32],
              noise_level: npt.NDArray[np.floating], radial_depth: npt.NDArray[np.floating],
              points: npt.NDArray[np.floating], peak_height: npt.NDArray[np.floating],
              peak_status: npt.NDArray[np.integer], reference_rows: npt.NDArray[np.intp],
              pixel_rows: npt.NDArray[np.intp], padded: bool) -> npt.NDArray[np.uint8]: ...
