"""competition-kit score SUBMISSION --answers CSV [--metric FILE.py:FUNCTION]"""
NAME = "score"
HELP = "score a submission against known answers"
DESCRIPTION = ("Scores SUBMISSION against ANSWERS (a CSV of PlayId and the true value), "
               "row by row within each PlayId: RMSE and MAE for one value per row, the "
               "continuous ranked probability score for columns <prefix><number>.")


def add_arguments(s):
    s.add_argument("submission", metavar="SUBMISSION")
    s.add_argument("--answers", required=True, metavar="CSV")
    s.add_argument("--metric", metavar="FILE.py:FUNCTION",
                   help="your own metric: FUNCTION(submission_df, answers_df) returning a number or a dict of them")


def run(args):
    from ..score import score_files
    score_files(args.submission, args.answers, args.metric)
    return 0
