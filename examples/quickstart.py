"""Profile a real dataset and print its Markdown report.

The data is the quarterly US macroeconomic series that ships with
statsmodels (1959Q1-2009Q3): real GDP as the regression target, the other
series as features, and a quarterly time axis.
"""

import numpy as np
import pandas as pd
from statsmodels.datasets import macrodata

import profilon


def load_frame() -> pd.DataFrame:
    df = macrodata.load_pandas().data
    # The dataset stores its quarters as two float columns; give it a real
    # time axis at the start of each quarter.
    df.insert(0, "date", pd.date_range("1959-01-01", periods=len(df), freq="QS"))
    return df


def main() -> None:
    np.random.seed(0)  # mutual-information scores use NumPy's global generator
    print(profilon.EDA().eda_md(load_frame(), target="realgdp", datetime_col="date"))


if __name__ == "__main__":
    main()
